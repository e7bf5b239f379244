// Captures through the ALSA module (audrec and the test driver) on the
// virtual devices: exactly rate x 10 frames, the very bytes of the source.
#include "audio_test_util.h"

#include <alsa/asoundlib.h>

#include <string>

#include <gtest/gtest.h>

using namespace kep_test;

namespace {

class VirtualCapture : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Ten seconds at the highest rate, plus some.
        source_ = test_signal(500000);
        ASSERT_TRUE(write_file(dir_.path("source.raw"), source_));
    }
    std::vector<std::string> env() const
    {
        return {"ALSA_CONFIG_PATH=" + alsa_conf("virtual"),
                "KEP_ALSA_CAPTURE_FILE=" + dir_.path("source.raw")};
    }
    std::vector<uint8_t> source_prefix(size_t bytes) const
    {
        return std::vector<uint8_t>(source_.begin(), source_.begin() + (long)bytes);
    }

    scratch_dir dir_;
    std::vector<uint8_t> source_;
};

std::string capture_lines(const std::string &format, const std::string &file, int period,
                          int bits, int frames)
{
    return "[KEP-AUDIO] format: " + format + ", file: " + file + "\n" +
           "[KEP-AUDIO] frame number : " + std::to_string(period) +
           ", format_bits: " + std::to_string(bits) + "\n" +
           "[KEP-AUDIO] 10 second(s) : " + std::to_string(frames) + " frames\n";
}

TEST_F(VirtualCapture, S16At8kHzHoldsTenSecondsOfTheSource)
{
    std::string out = dir_.path("rec.raw");
    run_result r = run_program("audrec", {"-d", "s16", "-f", out}, env());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, capture_lines("s16", out, 80, 16, 80000));
    EXPECT_EQ(r.err, "");
    std::vector<uint8_t> got;
    ASSERT_TRUE(read_file(out, &got));
    EXPECT_EQ(got.size(), 160000u);
    EXPECT_EQ(first_difference(got, source_prefix(160000)), -1);
}

struct rate_case {
    const char *format;
    int khz;
};

class PcmRates : public VirtualCapture, public ::testing::WithParamInterface<rate_case> {};

TEST_P(PcmRates, FileHoldsRateTimesTenFramesOfTheSource)
{
    const rate_case &c = GetParam();
    std::string out = dir_.path("rec.raw");
    run_result r = run_program("audrec", {"-d", c.format, "-s", std::to_string(c.khz), "-f", out},
                               env());
    EXPECT_EQ(r.status, 0) << r.err;
    const int frames = c.khz * 1000 * 10;
    EXPECT_EQ(r.out, capture_lines(c.format, out, 80, 16, frames));
    std::vector<uint8_t> got;
    ASSERT_TRUE(read_file(out, &got));
    EXPECT_EQ(got.size(), (size_t)frames * 2);
    EXPECT_EQ(first_difference(got, source_prefix((size_t)frames * 2)), -1);
}

INSTANTIATE_TEST_SUITE_P(Rates, PcmRates,
                         ::testing::Values(rate_case{"s16", 16}, rate_case{"s16", 32},
                                           rate_case{"s16", 48}, rate_case{"u16", 48},
                                           rate_case{"u16", 8}));

TEST_F(VirtualCapture, EightBitFormatsUseHw00WithPeriod40)
{
    for (const char *format : {"s8", "u8"}) {
        std::string out = dir_.path(std::string(format) + ".raw");
        run_result r = run_program("audrec", {"-d", format, "-f", out}, env());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, capture_lines(format, out, 40, 8, 80000));
        std::vector<uint8_t> got;
        ASSERT_TRUE(read_file(out, &got));
        EXPECT_EQ(first_difference(got, source_prefix(80000)), -1) << format;
    }
}

TEST_F(VirtualCapture, AlawIsTheReferenceG711EncodingOfTheSource)
{
    std::string out = dir_.path("alaw.raw");
    run_result r = run_program("audrec", {"-d", "alaw", "-f", out}, env());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, capture_lines("alaw", out, 80, 8, 80000));
    std::vector<uint8_t> want(80000);
    for (size_t n = 0; n < want.size(); n++)
        want[n] = g711_alaw((int16_t)(source_[2 * n] | source_[2 * n + 1] << 8));
    std::vector<uint8_t> got;
    ASSERT_TRUE(read_file(out, &got));
    EXPECT_EQ(first_difference(got, want), -1);
}

TEST_F(VirtualCapture, MulawIsTheReferenceG711EncodingOfTheSource)
{
    std::string out = dir_.path("mulaw.raw");
    run_result r = run_program("audrec", {"-d", "mulaw", "-f", out}, env());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, capture_lines("mulaw", out, 80, 8, 80000));
    std::vector<uint8_t> want(80000);
    for (size_t n = 0; n < want.size(); n++)
        want[n] = g711_ulaw((int16_t)(source_[2 * n] | source_[2 * n + 1] << 8));
    std::vector<uint8_t> got;
    ASSERT_TRUE(read_file(out, &got));
    EXPECT_EQ(first_difference(got, want), -1);
}

// On a stock ALSA library the platform's G.726 code 50 names another format;
// whatever width the library gives it sizes the frames.
TEST_F(VirtualCapture, G726FramesTakeTheWidthTheLibraryReports)
{
    const int width = snd_pcm_format_width((snd_pcm_format_t)50);
    ASSERT_GT(width, 0) << "this library does not know code 50";
    std::string out = dir_.path("g726.raw");
    run_result r = run_program("audrec", {"-d", "g726", "-f", out}, env());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, capture_lines("g726", out, 80, width, 80000));
    EXPECT_EQ(file_size(out), 80000L * width / 8);
}

// Code 54 (G.722) is unknown to a stock library: its width is an error code
// and must not size a buffer.
TEST_F(VirtualCapture, FormatWithoutWidthIsRefusedWithStatus1)
{
    ASSERT_LE(snd_pcm_format_width((snd_pcm_format_t)54), 0)
        << "this library knows code 54; the refusal cannot be reached";
    std::string out = dir_.path("g722.raw");
    run_result r = run_program("audrec", {"-d", "g722", "-f", out}, env());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "[KEP-AUDIO] format: g722, file: " + out + "\n");
    EXPECT_EQ(r.err, "[KEP-AUDIO] format 54 has no usable sample width (" +
                         std::to_string(snd_pcm_format_width((snd_pcm_format_t)54)) + " bits)\n");
    EXPECT_EQ(file_size(out), 0);
}

TEST_F(VirtualCapture, G726Code53CapturesWithPeriod160)
{
    const int width = snd_pcm_format_width((snd_pcm_format_t)53);
    std::string out = dir_.path("g726d.raw");
    run_result r = run_program("audio_stream_driver", {"capture", "53", "8000", out}, env());
    if (width <= 0) {
        // Unknown to this library: refused after the device is open.
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("format 53 has no usable sample width"), std::string::npos) << r.err;
    } else {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "[KEP-AUDIO] frame number : 160, format_bits: " + std::to_string(width) +
                             "\n[KEP-AUDIO] 10 second(s) : 80000 frames\n");
    }
}

// 4-bit frames of the fault device's stream, the first in the high nibble,
// with the frames `keep` leaves out.
std::vector<uint8_t> fault_nibbles(size_t frames, bool (*keep)(size_t frame))
{
    std::vector<uint8_t> pattern = fault_pattern(frames), out((frames + 1) / 2);
    size_t kept = 0;
    for (size_t n = 0; kept < frames; n++) {
        if (!keep(n))
            continue;
        uint8_t nibble = (pattern[n / 2] >> (n % 2 ? 0 : 4)) & 0xf;
        out[kept / 2] |= (uint8_t)(nibble << (kept % 2 ? 0 : 4));
        kept++;
    }
    return out;
}

// The platform's G.726 carries 2 to 5 bits a sample; a PC's library does not
// know that code, so the G.726 device row is run with the format below a byte
// whose width it knows, IMA ADPCM (4 bits; it gives G.723 no width). Each run
// records exactly its ten seconds.
TEST_F(VirtualCapture, FormatsNarrowerThanAByteRecord)
{
    struct narrow_case {
        const char *name;
        int format;
        const char *faults; // null: the virtual devices, reading the source
        std::vector<uint8_t> want;
    } cases[] = {
        {"IMA ADPCM", SND_PCM_FORMAT_IMA_ADPCM, nullptr, source_prefix(40000)},
        {"IMA ADPCM, fault device", SND_PCM_FORMAT_IMA_ADPCM, "", fault_pattern(40000)},
        // Reads of 33 frames end inside a byte: the 33rd frame is read over
        // by the next read and left out; the fifth read of a load asks for
        // the last 32 frames, so a load takes 164 of the device's frames.
        // The rest stays whole and in order.
        {"IMA ADPCM, odd reads", SND_PCM_FORMAT_IMA_ADPCM, "1+=short33",
         fault_nibbles(80000, [](size_t n) { return n % 164 >= 132 || n % 164 % 33 != 32; })},
    };
    for (const narrow_case &c : cases) {
        std::string out = dir_.path("narrow.raw");
        std::vector<std::string> e = env();
        if (c.faults)
            e = {"ALSA_CONFIG_PATH=" + alsa_conf("fault"), std::string("KEP_ALSA_FAULTS=") + c.faults};
        run_result r = run_program("audio_stream_driver",
                                   {"capture", "50", "8000", out, "1", "1", std::to_string(c.format)},
                                   e);
        EXPECT_EQ(r.status, 0) << c.name << ": " << r.err;
        EXPECT_EQ(r.out, "[KEP-AUDIO] frame number : 80, format_bits: " +
                             std::to_string(snd_pcm_format_width((snd_pcm_format_t)c.format)) +
                             "\n[KEP-AUDIO] 10 second(s) : 80000 frames\n")
            << c.name;
        std::vector<uint8_t> got;
        ASSERT_TRUE(read_file(out, &got)) << c.name;
        EXPECT_EQ(first_difference(got, c.want), -1) << c.name << ": " << got.size() << " bytes";
    }
    // Playback counts a chunk's frames by its frame's bytes: below a byte it
    // is refused.
    ASSERT_TRUE(write_file(dir_.path("in.raw"), source_prefix(1000)));
    run_result r = run_program("audio_stream_driver",
                               {"playback", "50", "8000", dir_.path("in.raw"), "1", "1", "22"},
                               env());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[KEP-AUDIO] format 22 has no usable sample width (4 bits)\n");
}

TEST_F(VirtualCapture, ModuleRecordsAnyRateOfEightBitFormatsForTenSeconds)
{
    // Only the 16-bit rows look at the rate; 11025 Hz gives 110250 frames.
    std::string out = dir_.path("u8.raw");
    run_result r = run_program("audio_stream_driver", {"capture", "1", "11025", out}, env());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[KEP-AUDIO] frame number : 40, format_bits: 8\n"
                     "[KEP-AUDIO] 10 second(s) : 110250 frames\n");
    std::vector<uint8_t> got;
    ASSERT_TRUE(read_file(out, &got));
    EXPECT_EQ(first_difference(got, source_prefix(110250)), -1);
}

// /dev/full takes nothing: the recording is lost, which must not pass for
// success.
TEST_F(VirtualCapture, OutputThatTakesNothingFailsWithStatus1)
{
    run_result r = run_program("audrec", {"-f", "/dev/full"}, env());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, capture_lines("s16", "/dev/full", 80, 16, 80000));
    EXPECT_EQ(r.err, "[KEP-AUDIO] capture from kep_audio_pcm_ex stopped: write to the capture "
                     "file failed: No space left on device\n"
                     "[KEP-AUDIO] capture file /dev/full is incomplete\n");
}

TEST_F(VirtualCapture, MissingSourceFileFailsTheOpenWithStatus1)
{
    std::string out = dir_.path("rec.raw");
    run_result r = run_program("audrec", {"-f", out},
                               {"ALSA_CONFIG_PATH=" + alsa_conf("virtual"),
                                "KEP_ALSA_CAPTURE_FILE=" + dir_.path("absent.raw")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("unable to open pcm device: No such file or directory\n"),
              std::string::npos)
        << r.err;
}

} // namespace

namespace {

// The vcam launcher gives programs the virtual sound devices unless the
// caller chose an ALSA configuration.
TEST(VcamLauncher, PointsAlsaAtTheVirtualDevices)
{
    scratch_dir dir;
    std::string out = dir.path("rec.raw");
    run_result r = run_program("vcam", {"--", bin_path("audrec"), "-f", out});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<uint8_t> got, signal;
    ASSERT_TRUE(read_file(out, &got));
    ASSERT_TRUE(read_file(std::string(KEP_BUILD_DIR) + "/share/alsa/kep-test-signal.raw", &signal));
    signal.resize(160000);
    EXPECT_EQ(first_difference(got, signal), -1);
}

TEST(VcamLauncher, KeepsAnAlsaConfigurationAlreadyChosen)
{
    scratch_dir dir;
    run_result r = run_program("vcam", {"--", bin_path("audrec"), "-f", dir.path("rec.raw")},
                               {"ALSA_CONFIG_PATH=" + alsa_conf("fault"), "KEP_ALSA_FAULTS=open=EBUSY"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("unable to open pcm device: Device or resource busy\n"), std::string::npos)
        << r.err;
}

} // namespace
