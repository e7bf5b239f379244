// The libkep_audio substitute: the contract audvol relies on, the state it
// keeps, and its state file under concurrent writers.
#include "audio_test_util.h"
#include "kep_audio.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <string>

#include <gtest/gtest.h>

using namespace kep_test;

namespace {

class KepAudio : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("KEP_AUDIO_STATE_FILE", state_.c_str(), 1);
        unsetenv("KEP_AUDIO_TRACE");
    }
    scratch_dir dir_;
    std::string state_ = dir_.path("audio.state");
};

TEST_F(KepAudio, StartsWithTwentyStepsAtTenUnmuted)
{
    int items = 0, step = -1, mute = -1;
    EXPECT_EQ(kep_audio_mic_vol_get_items(0, &items), 0);
    EXPECT_EQ(kep_audio_mic_vol_get(0, &step), 0);
    EXPECT_EQ(kep_audio_mic_vol_get_mute(0, &mute), 0);
    EXPECT_EQ(items, 20);
    EXPECT_EQ(step, 10);
    EXPECT_EQ(mute, 0);
    EXPECT_EQ(kep_audio_spk_vol_get_items(0, &items), 0);
    EXPECT_EQ(items, 20);
}

TEST_F(KepAudio, MicrophoneAndSpeakerAreIndependent)
{
    EXPECT_EQ(kep_audio_mic_vol_set(0, 3), 0);
    EXPECT_EQ(kep_audio_spk_vol_set_mute(0, 1), 0);
    int mic = -1, spk = -1, mic_mute = -1, spk_mute = -1;
    kep_audio_mic_vol_get(0, &mic);
    kep_audio_spk_vol_get(0, &spk);
    kep_audio_mic_vol_get_mute(0, &mic_mute);
    kep_audio_spk_vol_get_mute(0, &spk_mute);
    EXPECT_EQ(mic, 3);
    EXPECT_EQ(spk, 10);
    EXPECT_EQ(mic_mute, 0);
    EXPECT_EQ(spk_mute, 1);
}

TEST_F(KepAudio, StepsOutsideTheRangeAreRefusedAndChangeNothing)
{
    EXPECT_EQ(kep_audio_spk_vol_set(0, 20), -EINVAL);
    EXPECT_EQ(kep_audio_spk_vol_set(0, -1), -EINVAL);
    EXPECT_EQ(kep_audio_spk_vol_set(0, 19), 0);
    int step = -1;
    kep_audio_spk_vol_get(0, &step);
    EXPECT_EQ(step, 19);
}

TEST_F(KepAudio, OnlyCardZeroExistsAndNullPointersAreRefused)
{
    int v = 42;
    EXPECT_EQ(kep_audio_mic_vol_get(1, &v), -ENODEV);
    EXPECT_EQ(kep_audio_spk_vol_set_mute(-1, 1), -ENODEV);
    EXPECT_EQ(v, 42);
    EXPECT_EQ(kep_audio_mic_vol_get_items(0, nullptr), -EINVAL);
    EXPECT_EQ(kep_audio_spk_vol_get_mute(0, nullptr), -EINVAL);
}

TEST_F(KepAudio, DamagedStateFileFallsBackPerEntry)
{
    ASSERT_TRUE(write_file(state_, std::vector<uint8_t>{'m', 'i', 'c', '_', 'v', 'o', 'l', 'u', 'm',
                                                         'e', ' ', '9', '9', '\n', 's', 'p', 'k',
                                                         '_', 'v', 'o', 'l', 'u', 'm', 'e', ' ', '4',
                                                         '\n', 0xff, 0x00, '\n'}));
    int mic = -1, spk = -1;
    kep_audio_mic_vol_get(0, &mic);
    kep_audio_spk_vol_get(0, &spk);
    EXPECT_EQ(mic, 10) << "out-of-range volume must not be taken";
    EXPECT_EQ(spk, 4);
}

// Children change different settings at once; every change must survive and
// no temporary file may be left behind.
TEST_F(KepAudio, ConcurrentWritersNeitherCorruptNorLoseChanges)
{
    const int kRounds = 40;
    pid_t kids[4];
    for (int k = 0; k < 4; k++) {
        kids[k] = fork();
        ASSERT_GE(kids[k], 0);
        if (kids[k] == 0) {
            int bad = 0;
            for (int i = 0; i < kRounds; i++) {
                int step = i % 20;
                switch (k) {
                case 0: bad |= kep_audio_mic_vol_set(0, step); break;
                case 1: bad |= kep_audio_spk_vol_set(0, 19 - step); break;
                case 2: bad |= kep_audio_mic_vol_set_mute(0, i & 1); break;
                default: bad |= kep_audio_spk_vol_set_mute(0, !(i & 1)); break;
                }
                int v = -1;
                kep_audio_mic_vol_get(0, &v);
                if (v < 0 || v > 19)
                    bad = 1;
            }
            _exit(bad ? 1 : 0);
        }
    }
    for (pid_t kid : kids) {
        int status = 0;
        waitpid(kid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    int mic = -1, spk = -1, mic_mute = -1, spk_mute = -1;
    kep_audio_mic_vol_get(0, &mic);
    kep_audio_spk_vol_get(0, &spk);
    kep_audio_mic_vol_get_mute(0, &mic_mute);
    kep_audio_spk_vol_get_mute(0, &spk_mute);
    EXPECT_EQ(mic, (kRounds - 1) % 20);
    EXPECT_EQ(spk, 19 - (kRounds - 1) % 20);
    EXPECT_EQ(mic_mute, 1);
    EXPECT_EQ(spk_mute, 0);

    DIR *d = opendir(dir_.path("").c_str());
    ASSERT_NE(d, nullptr);
    std::vector<std::string> names;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"audio.state", "audio.state.lock"}));
}

} // namespace
