// pcminfo: prints the names the ALSA library gives to PCM stream types,
// access types, the 8-bit formats and the standard subformat.
#include <alsa/asoundlib.h>
#include <stdio.h>

#include "stdout_status.h"

int main()
{
    // The version of the headers this program was built against.
    printf("ALSA library version: %s\n", SND_LIB_VERSION_STR);

    puts("PCM stream types:");
    for (int v = 0; v <= 1; v++)
        printf(" %s\n", snd_pcm_stream_name((snd_pcm_stream_t)v));

    puts("PCM access types:");
    for (int v = 0; v <= 4; v++)
        printf(" %s\n", snd_pcm_access_name((snd_pcm_access_t)v));

    puts("PCM formats:");
    for (int v = 0; v <= 1; v++) {
        const char *name = snd_pcm_format_name((snd_pcm_format_t)v);
        if (name)
            printf(" %s (%s)\n", name, snd_pcm_format_description((snd_pcm_format_t)v));
    }

    puts("\nPCM subformats:");
    printf(" %s (%s)\n", snd_pcm_subformat_name((snd_pcm_subformat_t)0),
           snd_pcm_subformat_description((snd_pcm_subformat_t)0));
    return stdout_status();
}
