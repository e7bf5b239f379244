// aud32tool: converts raw PCM files to aud32 files (mode 0) and back
// (mode 1), block by block, with the platform's aud32 codec.
#include <getopt.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "kep_audio_aud32.h"

namespace {

constexpr int kNameMax = 127;
constexpr int kBlockMax = 640; // both block buffers

struct Settings {
    int mode = 0;
    char input[kNameMax + 1] = "";
    char output[kNameMax + 1] = "";
    int rate = 32;
    int bitrate = 32;
    int width = 16;
    float gain = 1.0f;
};

const char kUsage[] =
    "Usage: %s [options]/n\n"
    "Options:\n"
    "-h                 Print this message\n"
    "-m | --mode\t\t0: record, 1: playback (default: 0)\n"
    "-i | --input\t\tfilename \n"
    "-o | --output\t\tfilename \n"
    "-s | --samplerate\t8 / 16 / 32(khz, default is 32K_32Kbps) \n"
    "-b | --bitrate \t8 / 16 / 24 / 32 / 64 (kbps, default is 32K_32Kbps) \n"
    "-a | --bit \t\t8 / 16 (bit, default is 16) \n"
    "-g | --decodegain \tdecode gain (default is 1) \n"
    "Audio32 format List\n"
    "KEP_AUD32_FMT8_8KBPS\n"
    "KEP_AUD32_FMT8_16KBPS\n"
    "KEP_AUD32_FMT16_8K_8KBPS\n"
    "KEP_AUD32_FMT16_16K_16KBPS\n"
    "KEP_AUD32_FMT16_16K_24KBPS\n"
    "KEP_AUD32_FMT16_16K_32KBPS\n"
    "KEP_AUD32_FMT16_32K_32KBPS\n"
    "KEP_AUD32_FMT16_32K_64KBPS\n"
    "Ex:   %s -m 0 -i /tmp/test.pcm -o /tmp/test.en\n\n";

void usage(FILE *to, const char *prog) {
    fprintf(to, kUsage, prog, prog);
}

// The "%s" scan of a file name: the first blank-delimited word. A name that
// would not fit the 127-character field is refused rather than cut, so that
// a different file is never written. An argument with no word leaves the
// name as it was.
bool scan_name(const char *arg, char *name) {
    arg += strspn(arg, " \t\n\v\f\r");
    size_t len = strcspn(arg, " \t\n\v\f\r");
    if (len == 0)
        return true;
    if (len > (size_t)kNameMax) {
        fprintf(stderr, "file name longer than %d characters: %.*s\n", kNameMax, (int)len, arg);
        return false;
    }
    memcpy(name, arg, len);
    name[len] = '\0';
    return true;
}

// Returns 0 with the settings filled, or -1 after the usage text or a refusal.
int parse(int argc, char **argv, Settings *s) {
    static const struct option kLong[] = {
        {"help", no_argument, nullptr, 'h'},        {"mode", required_argument, nullptr, 'm'},
        {"input", required_argument, nullptr, 'i'}, {"output", required_argument, nullptr, 'o'},
        {"samplerate", required_argument, nullptr, 's'},
        {"bitrate", required_argument, nullptr, 'b'},
        {"bit", required_argument, nullptr, 'a'},
        {"decodegain", required_argument, nullptr, 'g'},
        {nullptr, 0, nullptr, 0}};
    opterr = 0; // the usage text is the whole answer to a bad option
    int c;
    while ((c = getopt_long(argc, argv, "hm:i:o:s:b:a:g:", kLong, nullptr)) != -1) {
        switch (c) {
        case 'h':
            usage(stdout, argv[0]);
            return -1;
        case 'm':
            sscanf(optarg, "%d", &s->mode);
            break;
        case 'i':
            if (!scan_name(optarg, s->input))
                return -1;
            break;
        case 'o':
            if (!scan_name(optarg, s->output))
                return -1;
            break;
        case 's':
            sscanf(optarg, "%d", &s->rate);
            break;
        case 'b':
            sscanf(optarg, "%d", &s->bitrate);
            break;
        case 'a':
            sscanf(optarg, "%d", &s->width);
            break;
        case 'g':
            sscanf(optarg, "%f", &s->gain);
            break;
        default:
            usage(stderr, argv[0]);
            return -1;
        }
    }
    return 0;
}

// Format code by bit-rate, then rate, then width; -1 when the bit-rate is
// known but the combination is not, -2 for any other bit-rate.
int select_format(int bitrate, int rate, int width) {
    switch (bitrate) {
    case 8:
        if (rate == 8)
            return width == 8 ? KEP_AUD32_FMT8_8KBPS
                              : (width == 16 ? KEP_AUD32_FMT16_8K_8KBPS : -1);
        return -1;
    case 16:
        if (rate == 8 && width == 8)
            return KEP_AUD32_FMT8_16KBPS;
        return rate == 16 && width == 16 ? KEP_AUD32_FMT16_16K_16KBPS : -1;
    case 24:
        return rate == 16 && width == 16 ? KEP_AUD32_FMT16_16K_24KBPS : -1;
    case 32:
        if (rate == 16 && width == 16)
            return KEP_AUD32_FMT16_16K_32KBPS;
        return rate == 32 && width == 16 ? KEP_AUD32_FMT16_32K_32KBPS : -1;
    case 48:
        return rate == 32 && width == 16 ? KEP_AUD32_FMT16_32K_48KBPS : -1;
    default:
        return -2;
    }
}

// The integer part of a float without the undefined conversion of values
// beyond the int range (NaN counts as 0).
int int_part(float v) {
    if (!(v == v))
        return 0;
    if (v >= 2147483647.0f)
        return 2147483647;
    if (v <= -2147483648.0f)
        return (int)-2147483647 - 1;
    return (int)v;
}

// The one block loop of both directions: whole input blocks only.
int convert(const Settings &s, int format, bool encode) {
    const char *name = encode ? "encoder" : "decoder";
    FILE *in = fopen(s.input, "rb");
    // The output is created only once the input exists, so that a typo in
    // the input name does not empty an existing output file.
    FILE *out = in ? fopen(s.output, "wb") : nullptr;
    if (!in || !out) {
        puts("open file fail.");
        if (in)
            fclose(in);
        return -1;
    }
    kep_aud32 *ctx = kep_aud32_open(encode ? KEP_AUD32_ENCODER : KEP_AUD32_DECODER, format);
    if (!ctx) {
        puts("kep_aud32_open fail.");
        fclose(in);
        fclose(out);
        return -1;
    }
    const int coded = ctx->coded_size;
    const int pcm = ctx->pcm_size;
    if (coded <= 0 || coded > kBlockMax || pcm <= 0 || pcm > kBlockMax) {
        printf("kep_aud32_open block sizes not supported: coded %d, pcm %d (1 to %d bytes)\n",
               coded, pcm, kBlockMax);
        kep_aud32_close(ctx);
        fclose(in);
        fclose(out);
        return -1;
    }
    if (!encode && s.gain > 0) {
        // Saturated rather than wrapped: a huge gain must not turn negative.
        int g = int_part(s.gain);
        kep_aud32_decode_gain((int16_t)(g > INT16_MAX ? INT16_MAX : g));
    }
    printf("\n%s start.\n", name);

    uint8_t inbuf[kBlockMax];
    uint8_t outbuf[kBlockMax];
    const int in_block = encode ? pcm : coded;
    const int out_block = encode ? coded : pcm;
    int result = 0;
    int got;
    while ((got = (int)fread(inbuf, 1, (size_t)in_block, in)) == in_block) {
        int produced = out_block;
        int taken = encode ? kep_aud32_encode(ctx, inbuf, outbuf, got, &produced)
                           : kep_aud32_decode(ctx, inbuf, outbuf, got, &produced);
        if (taken != got)
            printf("size not match, r_size = %d, size = %d", taken, got);
        // The count comes from outside: never write past what the buffer holds.
        if (produced < 0 || produced > out_block) {
            printf("%s returned %d bytes for a %d-byte block\n",
                   encode ? "kep_aud32_encode" : "kep_aud32_decode", produced, out_block);
            result = -1;
            break;
        }
        if (fwrite(outbuf, 1, (size_t)produced, out) != (size_t)produced) {
            puts("write file fail.");
            result = -1;
            break;
        }
    }
    fclose(in);
    if (fclose(out) != 0 && result == 0) {
        puts("write file fail.");
        result = -1;
    }
    kep_aud32_close(ctx);
    printf("\n%s done.\n", name);
    return result;
}

int run(int argc, char **argv) {
    Settings s;
    if (parse(argc, argv, &s) != 0)
        return -1;

    int format = select_format(s.bitrate, s.rate, s.width);
    if (format == -1) {
        printf("unkown audio32 format s%d_%dkhz_%dkbps\n", s.width, s.rate, s.bitrate);
        return 0;
    }
    if (format == -2) {
        printf("unkown bitrate %d\n", s.bitrate);
        return 0;
    }
    if (!(s.gain > 0)) {
        printf("wrong decode gain %d\n", int_part(s.gain));
        return 0;
    }
    if (s.mode != 0 && s.mode != 1) {
        printf("unkown mode %d\n", s.mode);
        return 0;
    }
    // A failed conversion has said why; it does not change the exit status.
    convert(s, format, s.mode == 0);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    return run(argc, argv);
}
