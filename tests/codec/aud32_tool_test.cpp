// aud32tool run as a program: its exact messages and exit statuses, the
// option checks in their order, and file-to-file round trips for every
// format the command line selects.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "aud32_signal.h"

namespace {

const char kTool[] = KEP_BUILD_DIR "/bin/aud32tool";

struct Outcome {
    int status = -1; // exit status, or -1 when the program did not exit
    std::string out;
    std::string err;
};

std::string slurp(const std::string &path) {
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    fclose(f);
    return s;
}

void spit(const std::string &path, const std::string &data) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(fwrite(data.data(), 1, data.size(), f), data.size());
    fclose(f);
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string usage_text() {
    std::string t =
        "Usage: @ [options]/n\nOptions:\n-h                 Print this message\n-m | --mode\t\t0: "
        "record, 1: playback (default: 0)\n-i | --input\t\tfilename \n-o | --output\t\tfilename "
        "\n-s | --samplerate\t8 / 16 / 32(khz, default is 32K_32Kbps) \n-b | --bitrate \t8 / 16 / "
        "24 / 32 / 64 (kbps, default is 32K_32Kbps) \n-a | --bit \t\t8 / 16 (bit, default is 16) "
        "\n-g | --decodegain \tdecode gain (default is 1) \nAudio32 format "
        "List\nKEP_AUD32_FMT8_8KBPS\nKEP_AUD32_FMT8_16KBPS\nKEP_AUD32_FMT16_8K_8KBPS\nKEP_AUD32_"
        "FMT16_16K_16KBPS\nKEP_AUD32_FMT16_16K_24KBPS\nKEP_AUD32_FMT16_16K_32KBPS\nKEP_AUD32_"
        "FMT16_32K_32KBPS\nKEP_AUD32_FMT16_32K_64KBPS\nEx:   @ -m 0 -i /tmp/test.pcm -o "
        "/tmp/test.en\n\n";
    std::string r;
    for (char c : t)
        r += c == '@' ? std::string(kTool) : std::string(1, c);
    return r;
}

// Each test works in a directory of its own and runs the tool there.
class Aud32Tool : public ::testing::Test {
protected:
    void SetUp() override {
        const char *tmp = getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/aud32tool.XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        ASSERT_NE(mkdtemp(buf.data()), nullptr);
        dir_ = buf.data();
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }

    std::string path(const char *name) const { return dir_ + "/" + name; }

    // env: an optional "NAME=value" added to the program's environment.
    Outcome run(std::vector<std::string> args, const char *env = nullptr) {
        Outcome r;
        std::string out = path(".stdout"), err = path(".stderr");
        pid_t pid = fork();
        if (pid == 0) {
            int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || chdir(dir_.c_str()) != 0)
                _exit(120);
            if (env)
                putenv(const_cast<char *>(env));
            std::vector<char *> argv;
            argv.push_back(const_cast<char *>(kTool));
            for (std::string &a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(kTool, argv.data());
            _exit(121);
        }
        int st = 0;
        if (pid < 0 || waitpid(pid, &st, 0) != pid)
            return r;
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        r.out = slurp(out);
        r.err = slurp(err);
        return r;
    }

    std::string dir_;
};

std::string pcm16(const std::vector<int16_t> &x) {
    std::string s(x.size() * 2, '\0');
    for (size_t i = 0; i < x.size(); ++i) {
        s[2 * i] = (char)(x[i] & 0xff);
        s[2 * i + 1] = (char)((x[i] >> 8) & 0xff);
    }
    return s;
}

TEST_F(Aud32Tool, HelpPrintsUsageToStdoutWithStatus255) {
    Outcome r = run({"-h"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, usage_text());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(run({"--help"}).out, usage_text());
}

TEST_F(Aud32Tool, UnknownOptionOrMissingArgumentPrintsUsageToStderr) {
    for (std::vector<std::string> args : {std::vector<std::string>{"-x"}, {"--volume", "3"}, {"-m"}}) {
        Outcome r = run(args);
        EXPECT_EQ(r.status, 255) << args[0];
        EXPECT_EQ(r.err, usage_text()) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
    }
}

// The defaults select a known format (code 55), so the empty names fail.
TEST_F(Aud32Tool, NoOptionsFailsToOpenTheEmptyFileNames) {
    Outcome r = run({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "open file fail.\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(Aud32Tool, BitRate64IsRefusedAsUnknown) {
    Outcome r = run({"-b", "64", "-s", "32"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "unkown bitrate 64\n");
}

TEST_F(Aud32Tool, KnownBitRateWithUnlistedRateAndWidthIsAnUnknownFormat) {
    Outcome r = run({"-b", "16", "-s", "8", "-a", "16"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "unkown audio32 format s16_8khz_16kbps\n");
}

// The format check comes first: with a bad format, a bad gain and a bad
// mode only the format is reported; then the gain, then the mode.
TEST_F(Aud32Tool, ChecksRunInOrderFormatGainMode) {
    EXPECT_EQ(run({"-b", "24", "-s", "32", "-g", "0", "-m", "7"}).out,
              "unkown audio32 format s16_32khz_24kbps\n");
    EXPECT_EQ(run({"-g", "0", "-m", "7"}).out, "wrong decode gain 0\n");
    EXPECT_EQ(run({"-g", "-2.75", "-m", "1"}).out, "wrong decode gain -2\n");
    Outcome r = run({"-m", "7"});
    EXPECT_EQ(r.out, "unkown mode 7\n");
    EXPECT_EQ(r.status, 0);
}

// 1.5 PCM blocks give one coded block; the rest is not converted.
TEST_F(Aud32Tool, TrailingPartialBlockIsNotEncoded) {
    spit(path("in.pcm"), pcm16(aud32_test::speech_like(32000, 480)));
    Outcome r = run({"-m", "0", "-i", "in.pcm", "-o", "out.a32"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\nencoder start.\n\nencoder done.\n");
    EXPECT_EQ(slurp(path("out.a32")).size(), 40u) << "one 10 ms block at 32 kbit/s";
}

// -b 48 -s 32 selects the top format: 60 coded bytes per 640-byte block.
TEST_F(Aud32Tool, BitRate48At32kHzSelectsTheTopFormat) {
    spit(path("in.pcm"), pcm16(aud32_test::speech_like(32000, 3200)));
    Outcome r = run({"--bitrate", "48", "--samplerate", "32", "--input", "in.pcm", "--output",
                 "out.a32"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(slurp(path("out.a32")).size(), 600u);
}

// A gain of 0.5 passes the check and reaches the codec as 0, which mutes.
TEST_F(Aud32Tool, GainBelowOneReachesTheCodecAsZero) {
    spit(path("in.pcm"), pcm16(aud32_test::speech_like(32000, 6400)));
    ASSERT_EQ(run({"-i", "in.pcm", "-o", "c.a32"}).status, 0);
    Outcome half = run({"-m", "1", "-g", "0.5", "-i", "c.a32", "-o", "half.pcm"});
    EXPECT_EQ(half.status, 0);
    EXPECT_EQ(half.out, "\ndecoder start.\n\ndecoder done.\n");
    Outcome unity = run({"-m", "1", "-i", "c.a32", "-o", "one.pcm"});
    Outcome two = run({"-m", "1", "-g", "2.9", "-i", "c.a32", "-o", "two.pcm"});
    ASSERT_EQ(unity.status, 0);
    ASSERT_EQ(two.status, 0);

    std::string h = slurp(path("half.pcm")), one = slurp(path("one.pcm")), t = slurp(path("two.pcm"));
    ASSERT_EQ(h.size(), 12800u);
    ASSERT_EQ(one.size(), h.size());
    ASSERT_EQ(t.size(), h.size());
    EXPECT_EQ(h, std::string(h.size(), '\0'));
    EXPECT_NE(one, h);
    for (size_t i = 0; i + 1 < one.size(); i += 2) {
        int16_t a = (int16_t)((uint8_t)one[i] | ((uint8_t)one[i + 1] << 8));
        int16_t b = (int16_t)((uint8_t)t[i] | ((uint8_t)t[i + 1] << 8));
        ASSERT_EQ(b, a * 2) << "sample " << i / 2 << ": 2.9 should reach the codec as 2";
    }
}

TEST_F(Aud32Tool, MissingInputReportsAndLeavesNoOutput) {
    Outcome r = run({"-i", "absent.pcm", "-o", "out.a32"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "open file fail.\n");
    EXPECT_FALSE(exists(path("out.a32")));
}

// A library reporting a block size that does not fit the 640-byte buffers,
// or no size at all, is refused before any block is read.
TEST_F(Aud32Tool, BadBlockSizesFromTheCodecAreRefused) {
    spit(path("in.pcm"), pcm16(aud32_test::speech_like(32000, 3200)));
    const char *cases[][2] = {
        {"KEP_AUD32_TEST_BLOCK_SIZES=641,640", "coded 641, pcm 640"},
        {"KEP_AUD32_TEST_BLOCK_SIZES=40,641", "coded 40, pcm 641"},
        {"KEP_AUD32_TEST_BLOCK_SIZES=0,640", "coded 0, pcm 640"},
        {"KEP_AUD32_TEST_BLOCK_SIZES=40,-640", "coded 40, pcm -640"},
    };
    for (auto &c : cases) {
        for (const char *mode : {"0", "1"}) {
            Outcome r = run({"-m", mode, "-i", "in.pcm", "-o", "out.bin"}, c[0]);
            EXPECT_EQ(r.status, 0) << c[0];
            EXPECT_EQ(r.out, std::string("kep_aud32_open block sizes not supported: ") + c[1] +
                                 " (1 to 640 bytes)\n")
                << c[0] << " mode " << mode;
            EXPECT_EQ(slurp(path("out.bin")), "") << c[0];
        }
    }
    // The largest allowed sizes pass.
    Outcome ok = run({"-i", "in.pcm", "-o", "out.bin"}, "KEP_AUD32_TEST_BLOCK_SIZES=40,640");
    EXPECT_EQ(ok.out, "\nencoder start.\n\nencoder done.\n");
    EXPECT_EQ(slurp(path("out.bin")).size(), 400u);
}

// Names longer than the 127-character field are refused, never cut into
// the name of some other file; 127 characters still work.
TEST_F(Aud32Tool, FileNamesLongerThan127CharactersAreRefused) {
    spit(path("in.pcm"), pcm16(aud32_test::speech_like(32000, 640)));
    std::string longest(127, 'n'), too_long(128, 'n');
    Outcome refused = run({"-i", "in.pcm", "-o", too_long});
    EXPECT_EQ(refused.status, 255);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "file name longer than 127 characters: " + too_long + "\n");
    EXPECT_FALSE(exists(path(too_long.c_str())));
    EXPECT_FALSE(exists(path(longest.c_str())));
    EXPECT_EQ(run({"-i", too_long}).status, 255);

    Outcome fits = run({"-i", "in.pcm", "-o", longest});
    EXPECT_EQ(fits.status, 0);
    EXPECT_EQ(slurp(path(longest.c_str())).size(), 80u);
}

// A file name ends at its first blank, as a "%s" scan reads it.
TEST_F(Aud32Tool, FileNameEndsAtTheFirstBlank) {
    spit(path("in.pcm"), pcm16(aud32_test::speech_like(32000, 640)));
    Outcome r = run({"-i", "in.pcm trailing words", "-o", "out.a32 x"});
    EXPECT_EQ(r.out, "\nencoder start.\n\nencoder done.\n");
    EXPECT_EQ(slurp(path("out.a32")).size(), 80u) << "two blocks";
}

struct ToolFormat {
    const char *bitrate, *rate, *width;
    int rate_hz, sample_bytes, kbps;
};

void PrintTo(const ToolFormat &f, std::ostream *os) {
    *os << "-b " << f.bitrate << " -s " << f.rate << " -a " << f.width;
}

class Aud32ToolRoundTrip : public Aud32Tool, public ::testing::WithParamInterface<ToolFormat> {};

// Encode then decode a speech-like file through the program: the coded file
// has the size the bit rate implies, the decoded file the source's length
// and a waveform that follows it.
TEST_P(Aud32ToolRoundTrip, EncodeThenDecodeFollowsTheSource) {
    const ToolFormat &f = GetParam();
    const int seconds = 2;
    std::vector<int16_t> x = aud32_test::speech_like(f.rate_hz, f.rate_hz * seconds);
    std::string pcm;
    if (f.sample_bytes == 1) {
        for (int16_t v : x)
            pcm += (char)(int8_t)(v >> 8);
    } else {
        pcm = pcm16(x);
    }
    spit(path("in.pcm"), pcm + std::string(7, '\x10')); // a partial block at the end

    Outcome e = run({"-m", "0", "-b", f.bitrate, "-s", f.rate, "-a", f.width, "-i", "in.pcm", "-o",
                 "c.a32"});
    ASSERT_EQ(e.out, "\nencoder start.\n\nencoder done.\n");
    Outcome d = run({"-m", "1", "-b", f.bitrate, "-s", f.rate, "-a", f.width, "-i", "c.a32", "-o",
                 "out.pcm"});
    ASSERT_EQ(d.out, "\ndecoder start.\n\ndecoder done.\n");

    EXPECT_EQ(slurp(path("c.a32")).size(), (size_t)f.kbps * 1000 * seconds / 8);
    std::string out = slurp(path("out.pcm"));
    ASSERT_EQ(out.size(), pcm.size());
    std::vector<int16_t> a, b;
    for (size_t i = 0; i < out.size(); i += (size_t)f.sample_bytes) {
        if (f.sample_bytes == 1) {
            a.push_back((int16_t)((int8_t)pcm[i] * 256));
            b.push_back((int16_t)((int8_t)out[i] * 256));
        } else {
            a.push_back((int16_t)((uint8_t)pcm[i] | ((uint8_t)pcm[i + 1] << 8)));
            b.push_back((int16_t)((uint8_t)out[i] | ((uint8_t)out[i + 1] << 8)));
        }
    }
    EXPECT_GE(aud32_test::correlation(a, b), 0.92);
}

INSTANTIATE_TEST_SUITE_P(EveryFormat, Aud32ToolRoundTrip,
                         ::testing::Values(ToolFormat{"8", "8", "8", 8000, 1, 8},
                                           ToolFormat{"16", "8", "8", 8000, 1, 16},
                                           ToolFormat{"8", "8", "16", 8000, 2, 8},
                                           ToolFormat{"16", "16", "16", 16000, 2, 16},
                                           ToolFormat{"24", "16", "16", 16000, 2, 24},
                                           ToolFormat{"32", "16", "16", 16000, 2, 32},
                                           ToolFormat{"32", "32", "16", 32000, 2, 32},
                                           ToolFormat{"48", "32", "16", 32000, 2, 48}),
                         [](const ::testing::TestParamInfo<ToolFormat> &i) {
                             return std::string("b") + i.param.bitrate + "_s" + i.param.rate +
                                    "_a" + i.param.width;
                         });

} // namespace
