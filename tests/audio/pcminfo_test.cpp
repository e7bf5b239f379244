// pcminfo against the installed ALSA library.
#include "audio_test_util.h"

#include <alsa/asoundlib.h>

#include <gtest/gtest.h>

using namespace kep_test;

TEST(Pcminfo, ListsTheLibrarysNamesInOrder)
{
    run_result r = run_program("pcminfo", {"ignored", "--arguments"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // The version is the one of the headers both were built against.
    EXPECT_EQ(r.out, std::string("ALSA library version: ") + SND_LIB_VERSION_STR +
                         "\n"
                         "PCM stream types:\n"
                         " PLAYBACK\n"
                         " CAPTURE\n"
                         "PCM access types:\n"
                         " MMAP_INTERLEAVED\n"
                         " MMAP_NONINTERLEAVED\n"
                         " MMAP_COMPLEX\n"
                         " RW_INTERLEAVED\n"
                         " RW_NONINTERLEAVED\n"
                         "PCM formats:\n"
                         " S8 (Signed 8 bit)\n"
                         " U8 (Unsigned 8 bit)\n"
                         "\n"
                         "PCM subformats:\n"
                         " STD (Standard)\n");
}

// The listing is the program's result: one that cannot be written fails.
TEST(Pcminfo, FullStandardOutputIsAFailure)
{
    run_result r = run_path(bin_path("pcminfo"), {}, {}, "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "write standard output failed: No space left on device\n");
}
