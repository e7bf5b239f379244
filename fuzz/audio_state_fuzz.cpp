// Any bytes in libkep_audio's state file: every read yields a valid step
// (0 to 19) and mute flag (0 or 1), and a change keeps the other settings.
#include "kep_audio.h"
#include "scratch_files.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

char g_path[256];

void check(bool ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "audio_state_fuzz: %s\n", what);
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!g_path[0]) {
        scratch::path_of("audio.state", g_path);
        setenv("KEP_AUDIO_STATE_FILE", g_path, 1);
        unsetenv("KEP_AUDIO_TRACE");
    }
    scratch::put_file("audio.state", data, size);

    int mic = -1, spk = -1, mic_mute = -1, spk_mute = -1;
    check(kep_audio_mic_vol_get(0, &mic) == 0, "mic get failed");
    check(kep_audio_spk_vol_get(0, &spk) == 0, "spk get failed");
    check(kep_audio_mic_vol_get_mute(0, &mic_mute) == 0, "mic mute get failed");
    check(kep_audio_spk_vol_get_mute(0, &spk_mute) == 0, "spk mute get failed");
    check(mic >= 0 && mic < 20 && spk >= 0 && spk < 20, "step out of range");
    check((mic_mute == 0 || mic_mute == 1) && (spk_mute == 0 || spk_mute == 1), "bad mute flag");

    check(kep_audio_mic_vol_set(0, 3) == 0, "set failed");
    int mic2 = -1, spk2 = -1, mic_mute2 = -1, spk_mute2 = -1;
    kep_audio_mic_vol_get(0, &mic2);
    kep_audio_spk_vol_get(0, &spk2);
    kep_audio_mic_vol_get_mute(0, &mic_mute2);
    kep_audio_spk_vol_get_mute(0, &spk_mute2);
    check(mic2 == 3, "change lost");
    check(spk2 == spk && mic_mute2 == mic_mute && spk_mute2 == spk_mute, "other settings changed");
    unlink(g_path);
    return 0;
}
