// The playback half of the ALSA module, run by the test driver: a file is
// played to its end in two-period chunks, underruns and errors are reported
// and recovered, and what reaches the device is exactly the file.
#include "audio_test_util.h"

#include <string>

#include <gtest/gtest.h>

using namespace kep_test;

namespace {

class Playback : public ::testing::Test {
protected:
    run_result play_virtual(const std::string &format, size_t bytes)
    {
        input_ = test_signal(bytes / 2 + 1);
        input_.resize(bytes);
        EXPECT_TRUE(write_file(in_, input_));
        return run_program("audio_stream_driver", {"playback", format, "8000", in_},
                           {"ALSA_CONFIG_PATH=" + alsa_conf("virtual"),
                            "KEP_ALSA_PLAYBACK_FILE=" + played_});
    }
    run_result play_fault(const std::string &faults, size_t bytes)
    {
        input_ = test_signal(bytes / 2);
        EXPECT_TRUE(write_file(in_, input_));
        return run_program("audio_stream_driver", {"playback", "2", "8000", in_},
                           {"ALSA_CONFIG_PATH=" + alsa_conf("fault"), "KEP_ALSA_FAULTS=" + faults,
                            "KEP_ALSA_FAULT_FILE=" + played_});
    }
    std::vector<uint8_t> played() const
    {
        std::vector<uint8_t> data;
        EXPECT_TRUE(read_file(played_, &data));
        return data;
    }

    scratch_dir dir_;
    std::string in_ = dir_.path("in.raw");
    std::string played_ = dir_.path("played.raw");
    std::vector<uint8_t> input_;
};

TEST_F(Playback, PlaysTheWholeFileInTwoPeriodChunks)
{
    // 2000 bytes of 16-bit samples: chunks of 2 x 160 frames, 640 bytes.
    run_result r = play_virtual("2", 2000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "[KEP-AUDIO] frame number : 160, format_bits: 16\n"
                     " read_frame = 320, read_frame_size : 640\n"
                     " rc = 320, cached_frame : 640\n"
                     " read_frame = 320, read_frame_size : 640\n"
                     " rc = 320, cached_frame : 640\n"
                     " read_frame = 320, read_frame_size : 640\n"
                     " rc = 320, cached_frame : 640\n"
                     " read_frame = 40, read_frame_size : 80\n"
                     " rc = 40, cached_frame : 80\n");
    EXPECT_EQ(first_difference(played(), input_), -1);
}

TEST_F(Playback, FileOfWholeChunksEndsWithAnEmptyRead)
{
    run_result r = play_virtual("2", 1280);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[KEP-AUDIO] frame number : 160, format_bits: 16\n"
                     " read_frame = 320, read_frame_size : 640\n"
                     " rc = 320, cached_frame : 640\n"
                     " read_frame = 320, read_frame_size : 640\n"
                     " rc = 320, cached_frame : 640\n"
                     " read_frame = 0, read_frame_size : 0\n");
    EXPECT_EQ(first_difference(played(), input_), -1);
}

TEST_F(Playback, EmptyFilePrintsOneEmptyReadThenCloses)
{
    run_result r = play_virtual("2", 0);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[KEP-AUDIO] frame number : 160, format_bits: 16\n"
                     " read_frame = 0, read_frame_size : 0\n");
    EXPECT_EQ(played().size(), 0u);
}

TEST_F(Playback, TrailingPartialFrameIsDropped)
{
    run_result r = play_virtual("2", 641);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(" read_frame = 0, read_frame_size : 1\n"), std::string::npos) << r.out;
    std::vector<uint8_t> want(input_.begin(), input_.begin() + 640);
    EXPECT_EQ(first_difference(played(), want), -1);
}

TEST_F(Playback, EightBitPcmPlaysOnHw0WithPeriod160)
{
    run_result r = play_virtual("1", 500);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[KEP-AUDIO] frame number : 160, format_bits: 8\n"
                     " read_frame = 320, read_frame_size : 320\n"
                     " rc = 320, cached_frame : 320\n"
                     " read_frame = 180, read_frame_size : 180\n"
                     " rc = 180, cached_frame : 180\n");
    EXPECT_EQ(first_difference(played(), input_), -1);
}

TEST_F(Playback, UnderrunIsReportedRecoveredAndLosesNothing)
{
    run_result r = play_fault("2=EPIPE", 2000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "overrun occurred\n");
    EXPECT_EQ(first_difference(played(), input_), -1);
}

TEST_F(Playback, OtherErrorsAreReportedAndTheWriteRepeated)
{
    run_result r = play_fault("1=EIO,3-4=EBUSY", 2000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "error from read: Input/output error\n"
                     "error from read: Device or resource busy\n"
                     "error from read: Device or resource busy\n");
    EXPECT_EQ(first_difference(played(), input_), -1);
}

TEST_F(Playback, ShortWritesAdvanceThroughTheChunk)
{
    run_result r = play_fault("1=short100,2=short100", 640);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[KEP-AUDIO] frame number : 160, format_bits: 16\n"
                     " read_frame = 320, read_frame_size : 640\n"
                     " rc = 100, cached_frame : 200\n"
                     " rc = 100, cached_frame : 400\n"
                     " rc = 120, cached_frame : 640\n"
                     " read_frame = 0, read_frame_size : 0\n");
    EXPECT_EQ(first_difference(played(), input_), -1);
}

TEST_F(Playback, WouldBlockWaitsForRoomWithoutMessages)
{
    run_result r = play_fault("1-3=EAGAIN", 2000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(first_difference(played(), input_), -1);
}

TEST_F(Playback, PersistentErrorEndsTheStreamWithStatus1)
{
    run_result r = play_fault("3+=EIO", 6400);
    EXPECT_EQ(r.status, 1);
    std::string line = "error from read: Input/output error\n";
    std::string want;
    for (int i = 0; i < 100; i++)
        want += line;
    want += "[KEP-AUDIO] playback to kep_audio_pcm_pb_ex stopped after 100 failed writes\n";
    EXPECT_EQ(r.err, want);
    std::vector<uint8_t> first_two(input_.begin(), input_.begin() + 1280);
    EXPECT_EQ(first_difference(played(), first_two), -1);
}

TEST_F(Playback, UnreadableFileEndsTheStreamWithStatus1)
{
    // A folder opens for reading but every read fails.
    run_result r = run_program("audio_stream_driver", {"playback", "2", "8000", dir_.path("")},
                               {"ALSA_CONFIG_PATH=" + alsa_conf("virtual"),
                                "KEP_ALSA_PLAYBACK_FILE=" + played_});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[KEP-AUDIO] playback to kep_audio_pcm_pb_ex stopped: read from the playback "
                     "file failed: Is a directory\n");
    EXPECT_EQ(played().size(), 0u);
}

TEST_F(Playback, OpenFailureEndsTheProcessWithStatus1)
{
    run_result r = play_fault("open=ENODEV", 640);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "unable to open pcm device: No such device\n");
}

} // namespace
