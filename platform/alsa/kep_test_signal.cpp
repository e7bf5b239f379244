// Writes the virtual platform's default capture signal: signed 16-bit
// little-endian mono, a 500 Hz tone (at 8 kHz) whose level rises slowly so
// that no two seconds of it are alike. Every sample is odd: ALSA's alaw and
// mulaw plugins round even negative values at segment edges differently from
// the ITU reference coder, odd values encode the same in both.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s FRAMES OUTFILE\n", argv[0]);
        return 2;
    }
    long frames = atol(argv[1]);
    FILE *out = fopen(argv[2], "wb");
    if (!out) {
        perror(argv[2]);
        return 1;
    }
    for (long n = 0; n < frames; n++) {
        double level = 2000.0 + 10000.0 * (double)(n % 480000) / 480000.0;
        int v = (int)lrint(level * sin(2.0 * M_PI * 500.0 * (double)n / 8000.0)) | 1;
        unsigned char le[2] = {(unsigned char)(v & 0xff), (unsigned char)((v >> 8) & 0xff)};
        if (fwrite(le, 1, 2, out) != 2) {
            perror(argv[2]);
            return 1;
        }
    }
    if (fclose(out) != 0) {
        perror(argv[2]);
        return 1;
    }
    return 0;
}
