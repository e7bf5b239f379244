// audvol: reads and sets the volume and mute state of the microphone or the
// speaker through the platform library libkep_audio.
#include "kep_audio.h"
#include "stdout_status.h"

#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

namespace {

const char kUsage[] =
    "Usage: %s [options]/n\n"
    "Options:\n"
    "-h Print this message\n"
    "-d | --device    mic or spk \n"
    "-m | --mute      mute this device\n"
    "-v | --vol       Set vol value (0 ~ 19)\n"
    "-i | --info      get the vol info\n";

// The five library calls of one device, and the word its messages use.
struct device_ops {
    const char *label;
    int (*get_mute)(int, int *);
    int (*get_items)(int, int *);
    int (*get)(int, int *);
    int (*set_mute)(int, int);
    int (*set)(int, int);
};

const device_ops kMic = {"MIC",
                         kep_audio_mic_vol_get_mute,
                         kep_audio_mic_vol_get_items,
                         kep_audio_mic_vol_get,
                         kep_audio_mic_vol_set_mute,
                         kep_audio_mic_vol_set};
const device_ops kSpk = {"SPK",
                         kep_audio_spk_vol_get_mute,
                         kep_audio_spk_vol_get_items,
                         kep_audio_spk_vol_get,
                         kep_audio_spk_vol_set_mute,
                         kep_audio_spk_vol_set};

} // namespace

int main(int argc, char **argv)
{
    char *device = nullptr;
    bool want_info = false;
    bool want_mute = false;
    bool want_volume = false;
    int volume = 0;

    static const struct option long_options[] = {
        {"help", no_argument, nullptr, 'h'},
        {"device", required_argument, nullptr, 'd'},
        {"vol", required_argument, nullptr, 'v'},
        {"mute", no_argument, nullptr, 'm'},
        {"info", no_argument, nullptr, 'i'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0; // an unknown option is answered by the usage text alone
    int c;
    while ((c = getopt_long(argc, argv, "hd:v:mi", long_options, nullptr)) != -1) {
        switch (c) {
        case 'h':
            printf(kUsage, argv[0]);
            exit(0);
        case 'd':
            if (optarg[0] == '\0')
                break;
            if (strcasecmp(optarg, "mic") != 0 && strcasecmp(optarg, "spk") != 0) {
                puts("[KEP-AUDIO] WORONG device name");
                free(device);
                exit(1);
            }
            free(device);
            device = strdup(optarg);
            if (!device) {
                perror("strdup");
                exit(1);
            }
            break;
        case 'v':
            want_volume = true;
            volume = atoi(optarg);
            if (volume < 1)
                volume = 0;
            break;
        case 'm':
            want_mute = true;
            break;
        case 'i':
            want_info = true;
            break;
        default:
            fprintf(stderr, kUsage, argv[0]);
            free(device);
            exit(1);
        }
    }

    if (!device)
        return 0;
    const device_ops &dev = strcasecmp(device, "mic") == 0 ? kMic : kSpk;

    int mute = 0;
    int items = 0;
    int current = 0;
    dev.get_mute(0, &mute);
    dev.get_items(0, &items);
    dev.get(0, &current);

    if (want_info) {
        if (mute)
            printf("[KEP-AUDIO] %s is on mute state\n", dev.label);
        printf("[KEP-AUDIO] %s Vol range: 0 ~ %d; Current Vol : %d\n", dev.label, items - 1, current);
    }
    if (want_mute) {
        dev.set_mute(0, 1);
        printf("[KEP-AUDIO] Mute %s\n", dev.label);
    }
    if (want_volume) {
        // Setting a volume always un-mutes.
        dev.set_mute(0, 0);
        printf("[KEP-AUDIO] Un-mute %s\n", dev.label);
        if (volume >= items)
            volume = items - 1;
        if (volume < 0) // a library that reported no steps gets step 0
            volume = 0;
        dev.set(0, volume);
        int now = 0;
        dev.get(0, &now);
        printf("[KEP-AUDIO] New %s Vol : %d\n", dev.label, now);
    }
    free(device);
    return stdout_status();
}
