// The desktop flavour on a PC's sound card: every name the tools open,
// "hw:0,0" and "hw:0" included, reaches the card through ALSA's conversions.
// The card is a stand-in that takes nothing but stereo at 48 kHz in S16_LE
// (the fault-injecting device, put where the flavour reaches the PC's
// default device); each tool's device mode must still record or play the
// right number of frames.
#include "audio_test_util.h"

#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

using namespace kep_test;

namespace {

const long kCardRate = 48000;
const long kCardPeriod = 1024; // at most, as the stand-in negotiates it

class DesktopCard : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The card, and the same card opened directly as "hw" with no
        // conversion in front of it.
        const std::string card =
            std::string("pcm_type.kepfault { lib \"") + KEP_BUILD_DIR +
            "/lib/libasound_module_pcm_kepfault.so\" }\n"
            "pcm.kep_stand_in_card {\n"
            "  type kepfault\n"
            "  faults \"channels=2 rate=48000 format=S16_LE\"\n"
            "  file \"" + card_ + "\"\n"
            "}\n";
        const std::string head = "<" + alsa_conf("desktop") + ">\n" + card;
        write_text(conf_, head + "pcm.!kep_desktop_card { type empty slave.pcm \"kep_stand_in_card\" }\n");
        write_text(direct_conf_,
                   head + "pcm.!hw {\n  @args [ CARD DEV SUBDEV ]\n"
                          "  @args.CARD { type string default \"0\" }\n"
                          "  @args.DEV { type integer default 0 }\n"
                          "  @args.SUBDEV { type integer default -1 }\n"
                          "  type empty\n  slave.pcm \"kep_stand_in_card\"\n}\n");
        // Inputs of the playback tools: 8 kHz streams made in file mode.
        ASSERT_TRUE(write_file(dir_.path("tone.pcm"), test_signal(16000)));
        ASSERT_EQ(run_program("aacpack", {"-f", "2", "0", "8000", "0", "24000", "1",
                                          dir_.path("tone.pcm"), dir_.path("tone.aac")})
                      .status,
                  0);
        ASSERT_EQ(run_program("opuspack", {"-f", "8000", "16000", "160", "5", "1",
                                           dir_.path("tone.pcm"), dir_.path("tone.opus")})
                      .status,
                  0);
    }
    void TearDown() override
    {
        unlink("/tmp/audio1.raw");
        unlink("/tmp/audio2.raw");
    }
    static void write_text(const std::string &path, const std::string &text)
    {
        ASSERT_TRUE(write_file(path, std::vector<uint8_t>(text.begin(), text.end())));
    }
    run_result run_on(const std::string &conf, const std::string &program,
                      const std::vector<std::string> &args)
    {
        unlink(card_.c_str());
        return run_program(program, args, {"ALSA_CONFIG_PATH=" + conf});
    }
    // Frames of `frame_bytes` bytes in a file (-1 when it is missing).
    static long frames_in(const std::string &path, long frame_bytes)
    {
        long size = file_size(path);
        return size < 0 ? -1 : size / frame_bytes;
    }
    // Samples of a stream decoded back by a tool's file mode.
    long decoded(const std::string &program, std::vector<std::string> args)
    {
        args.push_back(dir_.path("decoded.pcm"));
        run_result r = run_program(program, args);
        EXPECT_EQ(r.status, 0) << program << ": " << r.err;
        return frames_in(dir_.path("decoded.pcm"), 2);
    }
    // Stereo frames the card played; one channel spread to both, not silence.
    long card_frames()
    {
        std::vector<uint8_t> data;
        if (!read_file(card_, &data))
            return -1;
        bool sound = false;
        for (size_t i = 0; i + 4 <= data.size(); i += 4) {
            if (data[i] != data[i + 2] || data[i + 1] != data[i + 3]) {
                ADD_FAILURE() << "channels differ at frame " << i / 4;
                break;
            }
            sound = sound || data[i] != 0 || data[i + 1] != 0;
        }
        EXPECT_TRUE(sound) << "the card played only silence";
        return (long)data.size() / 4;
    }

    fixed_path_lock lock_; // audtwin writes fixed /tmp paths
    scratch_dir dir_;
    std::string card_ = dir_.path("card.raw");
    std::string conf_ = dir_.path("desktop-card.conf");
    std::string direct_conf_ = dir_.path("direct-card.conf");
};

// What each tool asks of a card (one channel at 8 kHz) is refused by the
// stand-in itself: only the flavour's conversions make the tools work on it.
TEST_F(DesktopCard, StandInRefusesWhatTheToolsAskWithoutConversion)
{
    run_result r = run_on(direct_conf_, "aacpack",
                          {"-d", "2", "0", "8000", "0", "24000", "1", "1", dir_.path("x.aac")});
    EXPECT_EQ(r.status, 256 - 25);
    EXPECT_EQ(r.err, "snd_pcm_hw_params_set_channels");
}

TEST_F(DesktopCard, EveryToolRecordsOrPlaysTheRightNumberOfFrames)
{
    const std::string rec = dir_.path("rec.raw");
    const std::string aac = dir_.path("rec.aac"), opus = dir_.path("rec.opus");
    const long aac_frames = decoded("aacplay", {"-f", dir_.path("tone.aac")});
    const long opus_frames = decoded("opusplay", {"-f", "8000", dir_.path("tone.opus")});
    struct card_case {
        std::string program;
        std::vector<std::string> args;
        std::function<long()> frames; // counted where the tool's output lands
        long want;
        long tolerance;
    } cases[] = {
        // audrec in every format the conversions reach (the platform's G.726
        // and G.722 codes mean nothing to a PC's library): ten seconds.
        {"audrec", {"-d", "s16", "-f", rec}, [&] { return frames_in(rec, 2); }, 80000, 0},
        {"audrec", {"-d", "s16", "-s", "16", "-f", rec}, [&] { return frames_in(rec, 2); }, 160000, 0},
        {"audrec", {"-d", "s16", "-s", "32", "-f", rec}, [&] { return frames_in(rec, 2); }, 320000, 0},
        {"audrec", {"-d", "u16", "-s", "48", "-f", rec}, [&] { return frames_in(rec, 2); }, 480000, 0},
        {"audrec", {"-d", "u16", "-f", rec}, [&] { return frames_in(rec, 2); }, 80000, 0},
        {"audrec", {"-d", "s8", "-f", rec}, [&] { return frames_in(rec, 1); }, 80000, 0},
        {"audrec", {"-d", "u8", "-f", rec}, [&] { return frames_in(rec, 1); }, 80000, 0},
        {"audrec", {"-d", "alaw", "-f", rec}, [&] { return frames_in(rec, 1); }, 80000, 0},
        {"audrec", {"-d", "mulaw", "-f", rec}, [&] { return frames_in(rec, 1); }, 80000, 0},
        {"audtwin", {},
         [&] {
             long second = frames_in("/tmp/audio2.raw", 2);
             return frames_in("/tmp/audio1.raw", 2) == second ? second : -2;
         },
         80000, 0},
        // Two seconds: whole 1024-sample blocks up to 16000 samples, and 100
        // blocks of 160.
        {"aacpack", {"-d", "2", "0", "8000", "0", "24000", "1", "2", aac},
         [&] { return decoded("aacplay", {"-f", aac}); }, 16 * 1024, 0},
        {"opuspack", {"-d", "8000", "16000", "160", "5", "1", "2", opus},
         [&] { return decoded("opusplay", {"-f", "8000", opus}); }, 100 * 160, 0},
        // What file mode decodes, at the card's rate. The rate converter
        // works in the card's periods (1023 frames here): the drain may leave
        // out part of the last one.
        {"aacplay", {"-d", dir_.path("tone.aac")}, [&] { return card_frames(); },
         aac_frames * kCardRate / 8000, kCardPeriod},
        {"opusplay", {"-d", "8000", dir_.path("tone.opus")}, [&] { return card_frames(); },
         opus_frames * kCardRate / 8000, kCardPeriod},
    };
    for (const card_case &c : cases) {
        std::string name = c.program;
        for (const std::string &a : c.args)
            name += " " + (a.rfind(dir_.path(""), 0) == 0 ? a.substr(dir_.path("").size()) : a);
        run_result r = run_on(conf_, c.program, c.args);
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
        long got = c.frames();
        EXPECT_NEAR(got, c.want, c.tolerance) << name;
        printf("%-44s frames %ld, want %ld\n", name.c_str(), got, c.want);
    }
}

} // namespace
