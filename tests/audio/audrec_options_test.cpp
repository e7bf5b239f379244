// audrec's command line: usage, refused names and rates, overrides, the
// length limit of names and the default recording.
#include "audio_test_util.h"

#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

using namespace kep_test;

namespace {

std::string usage()
{
    std::string p = bin_path("audrec");
    return "Usage: " + p +
           " [options]/n\nOptions:\n-h                 Print this message\n"
           "-d | --device\t\talaw, mulaw, g726, s8, s16, u8, u16, g722\n"
           "-f | --file\t\tfilename \n"
           "-s | --samplerate\t8 / 16 / 32 / 48 (kHz, 16K/32K/48K are used for PCM. default is "
           "8k.) \nEx:   " +
           p + " -d alaw -p test.raw\n\n";
}

class Audrec : public ::testing::Test {
protected:
    run_result audrec(const std::vector<std::string> &args)
    {
        return run_program("audrec", args, {"ALSA_CONFIG_PATH=" + alsa_conf("virtual")});
    }
    scratch_dir dir_;
};

TEST_F(Audrec, HelpPrintsUsageOnStdoutWithStatus0)
{
    run_result r = audrec({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage());
    EXPECT_EQ(r.err, "");
}

TEST_F(Audrec, TheUsageExampleFailsOnItsUnknownOption)
{
    std::string out = dir_.path("test.raw");
    run_result r = audrec({"-d", "alaw", "-p", out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, usage());
    EXPECT_EQ(file_size(out), -1);
}

TEST_F(Audrec, MissingOptionArgumentPrintsUsageWithStatus1)
{
    run_result r = audrec({"-f"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, usage());
}

TEST_F(Audrec, FormatNamesAreCaseSensitive)
{
    std::string out = dir_.path("rec.raw");
    run_result r = audrec({"-d", "S16", "-f", out});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "[KEP-AUDIO] Wrong format\n");
    EXPECT_EQ(file_size(out), -1);
}

TEST_F(Audrec, HigherRatesAreOnlyFor16BitPcm)
{
    for (const char *khz : {"16", "32", "48"}) {
        run_result r = audrec({"-d", "alaw", "-s", khz, "-f", dir_.path("rec.raw")});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "ONLY PCM S16/U16 support 16Khz / 32Khz / 48Khz samplerate\n") << khz;
    }
    EXPECT_EQ(file_size(dir_.path("rec.raw")), -1);
}

TEST_F(Audrec, UnknownRateIsRefusedWithoutCreatingTheFile)
{
    std::string out = dir_.path("rec.raw");
    run_result r = audrec({"-s", "44", "-f", out});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Wrong samplerate : 44\n");
    EXPECT_EQ(file_size(out), -1);
}

TEST_F(Audrec, NonNumericRateKeepsTheRateAndLaterOptionsWin)
{
    std::string out = dir_.path("rec.raw");
    run_result r = audrec({"-s", "16", "-s", "fast", "-d", "alaw", "-d", "u16", "-f",
                           dir_.path("first.raw"), "--file", out, "stray"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("[KEP-AUDIO] format: u16, file: " + out + "\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("[KEP-AUDIO] 10 second(s) : 160000 frames\n"), std::string::npos) << r.out;
    EXPECT_EQ(file_size(out), 320000);
    EXPECT_EQ(file_size(dir_.path("first.raw")), -1);
}

TEST_F(Audrec, FileNameEndsAtItsFirstBlank)
{
    run_result r = audrec({"-f", dir_.path("a b.raw")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(file_size(dir_.path("a")), 160000);
}

TEST_F(Audrec, UnopenableOutputFilePrintsAndEndsWithStatus0)
{
    run_result r = audrec({"-f", dir_.path("no/such/dir.raw")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "[KEP-AUDIO] format: s16, file: " + dir_.path("no/such/dir.raw") +
                         "\n[KEP-AUDIO] capture file open failed\n");
}

TEST_F(Audrec, NamesOf127CharactersAreTakenWhole)
{
    std::string name = dir_.path("");
    name += std::string(127 - name.size(), 'n');
    ASSERT_EQ(name.size(), 127u);
    run_result r = audrec({"-f", name});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(file_size(name), 160000);
}

TEST_F(Audrec, NamesLongerThan127CharactersAreRefused)
{
    std::string name = dir_.path("");
    name += std::string(128 - name.size(), 'n');
    run_result r = audrec({"-f", name});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "[KEP-AUDIO] the argument of -f is longer than 127 characters\n");
    EXPECT_EQ(file_size(name), -1);
    EXPECT_EQ(file_size(name.substr(0, 127)), -1);

    r = audrec({"-d", std::string(200, 's')});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[KEP-AUDIO] the argument of -d is longer than 127 characters\n");
}

TEST_F(Audrec, NoOptionsRecordS16At8kHzIntoTmpAudio1)
{
    fixed_path_lock lock;
    unlink("/tmp/audio1");
    run_result r = audrec({});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[KEP-AUDIO] format: s16, file: /tmp/audio1\n"
                     "[KEP-AUDIO] frame number : 80, format_bits: 16\n"
                     "[KEP-AUDIO] 10 second(s) : 80000 frames\n");
    EXPECT_EQ(file_size("/tmp/audio1"), 160000);
    unlink("/tmp/audio1");
}

} // namespace
