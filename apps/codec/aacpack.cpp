// aacpack: mono 16-bit PCM, from a raw file or the capture device, to an
// AAC stream with ADTS framing, on the fdk-aac encoder.

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <alsa/asoundlib.h>
#include <fdk-aac/aacenc_lib.h>

#include "mono_pcm.h"

namespace {

const char kCaptureDevice[] = "hw:0,0";
const int kWaitMs = 1000;

struct Settings {
  bool device_mode;
  int aot;
  int eld_sbr;
  long sample_rate;
  int vbr;
  long bitrate;
  int high_quality;
  long capture_time;
  const char *infile;
  const char *outfile;
};

const char *error_text(AACENC_ERROR err) {
  switch (err) {
    case AACENC_OK: return "No error";
    case AACENC_INVALID_HANDLE: return "Invalid handle";
    case AACENC_MEMORY_ERROR: return "Memory allocation error";
    case AACENC_UNSUPPORTED_PARAMETER: return "Unsupported parameter";
    case AACENC_INVALID_CONFIG: return "Invalid config";
    case AACENC_INIT_ERROR: return "Initialization error";
    case AACENC_INIT_AAC_ERROR: return "AAC library initialization error";
    case AACENC_INIT_SBR_ERROR: return "SBR library initialization error";
    case AACENC_INIT_TP_ERROR: return "Transport library initialization error";
    case AACENC_INIT_META_ERROR: return "Metadata library initialization error";
    case AACENC_ENCODE_ERROR: return "Encoding error";
    case AACENC_ENCODE_EOF: return "End of file";
    default: return "Unknown error";
  }
}

void usage() {
  fputs("usage:\n", stderr);
  fputs("./aacpack -f aot eld_sbr sample_rate vbr bitrate high_quality infile outfile\n", stderr);
  fputs("./aacpack -d aot eld_sbr sample_rate vbr bitrate high_quality capture_time(in second) outfile\n",
        stderr);
  fputs("\naot: audio object type\n", stderr);
  fputs("2: MPEG-4 AAC Low Complexity.\n", stderr);
  fputs("5: MPEG-4 AAC Low Complexity with Spectral Band Replication (HE-AAC).\n", stderr);
  fputs("23: MPEG-4 AAC Low-Delay.\n", stderr);
  fputs("39: MPEG-4 AAC Enhanced Low-Delay.\n", stderr);
  fputs("\neld_sbr: MPEG-4 AAC Enhanced Low-Delay with Spectral Band Replication.\n", stderr);
  fputs("1: enable SBR, 0: disable SBR\n", stderr);
  fputs("\nvbr: variable bitrate\n", stderr);
  fputs("0:cbr, 1~5:vbr\n", stderr);
  fputs("\nbitrate: bitrate in cbr mode, this parameter is useless in vbr mode.\n", stderr);
  fputs("\nhigh_quality: 1: high quality, 0:normal quality\n", stderr);
  fputs("\n\n", stderr);
}

// Closes the encoder and clears the handle, so that the final clean-up does
// not close it a second time.
int encoder_failed(HANDLE_AACENCODER *enc, int result) {
  aacEncClose(enc);
  *enc = nullptr;
  return result;
}

int setup_encoder(const Settings &s, HANDLE_AACENCODER *enc, AACENC_InfoStruct *info) {
  AACENC_ERROR err = aacEncOpen(enc, 0x13, 1);
  if (err != AACENC_OK) {
    fprintf(stderr, "Unable to open the encoder: %s\n", error_text(err));
    return encoder_failed(enc, -11);
  }
  HANDLE_AACENCODER h = *enc;
  if ((err = aacEncoder_SetParam(h, AACENC_AOT, s.aot)) != AACENC_OK) {
    fprintf(stderr, "Unable to set the AOT %d: %s\n", s.aot, error_text(err));
    return encoder_failed(enc, -12);
  }
  if (s.aot == 39 && s.eld_sbr == 1) {
    if ((err = aacEncoder_SetParam(h, AACENC_SBR_MODE, 1)) != AACENC_OK) {
      fprintf(stderr, "Unable to enable SBR for ELD: %s\n", error_text(err));
      return encoder_failed(enc, -13);
    }
  }
  // The encoder takes a rate of 0 and divides by it when it initialises;
  // refuse it here like any other rate it does not support.
  if (s.sample_rate <= 0 || s.sample_rate > INT_MAX)
    err = AACENC_INVALID_CONFIG;
  else
    err = aacEncoder_SetParam(h, AACENC_SAMPLERATE, (UINT)s.sample_rate);
  if (err != AACENC_OK) {
    fprintf(stderr, "Unable to set the sample rate %d: %s\n", (int)s.sample_rate, error_text(err));
    return encoder_failed(enc, -14);
  }
  if ((err = aacEncoder_SetParam(h, AACENC_CHANNELMODE, MODE_1)) != AACENC_OK) {
    fprintf(stderr, "Unable to set channel mode %d: %s\n", 1, error_text(err));
    return encoder_failed(enc, -15);
  }
  if ((err = aacEncoder_SetParam(h, AACENC_CHANNELORDER, 1)) != AACENC_OK) {
    fprintf(stderr, "Unable to set wav channel order %d: %s\n", 1, error_text(err));
    return encoder_failed(enc, -16);
  }
  if (s.vbr != 0) {
    if ((err = aacEncoder_SetParam(h, AACENC_BITRATEMODE, s.vbr)) != AACENC_OK) {
      fprintf(stderr, "Unable to set the VBR bitrate mode %d: %s\n", s.vbr, error_text(err));
      return encoder_failed(enc, -17);
    }
  } else {
    if ((err = aacEncoder_SetParam(h, AACENC_BITRATE, (UINT)s.bitrate)) != AACENC_OK) {
      fprintf(stderr, "Unable to set the bitrate %d: %s\n", (int)s.bitrate, error_text(err));
      return encoder_failed(enc, -18);
    }
  }
  if ((err = aacEncoder_SetParam(h, AACENC_TRANSMUX, TT_MP4_ADTS)) != AACENC_OK) {
    fprintf(stderr, "Unable to set the transmux format: %s\n", error_text(err));
    return encoder_failed(enc, -19);
  }
  if ((err = aacEncoder_SetParam(h, AACENC_AFTERBURNER, s.high_quality)) != AACENC_OK) {
    fprintf(stderr, "Unable to set afterburner to %d: %s\n", s.high_quality, error_text(err));
    return encoder_failed(enc, -21);
  }
  if ((err = aacEncEncode(h, nullptr, nullptr, nullptr, nullptr)) != AACENC_OK) {
    fprintf(stderr, "Unable to initialize the encoder: %s\n", error_text(err));
    return encoder_failed(enc, -23);
  }
  if ((err = aacEncInfo(h, info)) != AACENC_OK) {
    fprintf(stderr, "Unable to get encoder info: %s\n", error_text(err));
    return encoder_failed(enc, -24);
  }
  return 0;
}

// Results -21 (open) to -27 (applying the parameters), one per step.
int setup_capture(const Settings &s, snd_pcm_t **pcm) {
  mono_pcm_result r = mono_pcm_open(pcm, kCaptureDevice, SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK, (unsigned int)s.sample_rate);
  if (r.step == MONO_PCM_OK) return 0;
  mono_pcm_report(r, false);
  if (r.step == MONO_PCM_OPEN) return -21;
  snd_pcm_close(*pcm);
  *pcm = nullptr;
  return -21 - (r.step - MONO_PCM_OPEN);
}

// Reads up to `want` samples from the capture device, surviving overruns and
// waiting while the non-blocking device has nothing. Returns the count read
// (at least 1) or -52 after the message.
long capture_read(snd_pcm_t *pcm, INT_PCM *dst, long want) {
  for (;;) {
    snd_pcm_sframes_t n = snd_pcm_readi(pcm, dst, (snd_pcm_uframes_t)want);
    if (n > 0) return n;
    if (n == -EPIPE) {
      fputs("overrun occurred\n", stderr);
      snd_pcm_prepare(pcm);
    } else if (n == -EAGAIN || n == 0) {
      snd_pcm_wait(pcm, kWaitMs);
    } else {
      fprintf(stderr, "error from readi: %s\n", snd_strerror((int)n));
      return -52;
    }
  }
}

int encode_loop(const Settings &s, HANDLE_AACENCODER enc, const AACENC_InfoStruct &info, FILE *in,
                snd_pcm_t *pcm, FILE *out, INT_PCM *pcm_buf, UCHAR *out_buf) {
  const long frame_len = (long)info.frameLength;
  // 64-bit: rate x seconds overflows a 32-bit long within a day at 48 kHz.
  const long long capture_total = (long long)s.sample_rate * s.capture_time;
  long held = 0;           // samples waiting at the start of pcm_buf
  long long captured = 0;  // device mode: samples read so far

  void *in_ptr = pcm_buf;
  INT in_id = IN_AUDIO_DATA, in_size = 0, in_el = 2;
  void *out_ptr = out_buf;
  INT out_id = OUT_BITSTREAM_DATA, out_size = (INT)info.maxOutBufBytes, out_el = 1;
  AACENC_BufDesc in_desc = {1, &in_ptr, &in_id, &in_size, &in_el};
  AACENC_BufDesc out_desc = {1, &out_ptr, &out_id, &out_size, &out_el};

  for (;;) {
    if (s.device_mode && captured >= capture_total) {
      puts("end capture");
      return 0;
    }

    bool at_end = false;
    while (held < frame_len) {
      if (!s.device_mode) {
        size_t n = fread(pcm_buf + held, 2, (size_t)(frame_len - held), in);
        if (n == 0) {
          if (!feof(in)) {
            fprintf(stderr, "read file error---%d\n", (int)n);
            return -51;
          }
          at_end = true;
          break;
        }
        held += (long)n;
      } else {
        long n = capture_read(pcm, pcm_buf + held, frame_len - held);
        if (n < 0) return (int)n;
        held += n;
        captured += n;
      }
    }

    AACENC_InArgs in_args = {};
    AACENC_OutArgs out_args = {};
    in_size = (INT)(held * 2);
    // At the end of the file the encoder is flushed; an incomplete last block
    // stays out of the stream.
    in_args.numInSamples = at_end ? -1 : (INT)frame_len;
    AACENC_ERROR err = aacEncEncode(enc, &in_desc, &out_desc, &in_args, &out_args);
    if (err != AACENC_OK) {
      if (err == AACENC_ENCODE_EOF && held < frame_len) {
        puts("end capture");
        return 0;
      }
      fprintf(stderr, "Unable to encode frame: %s\n", error_text(err));
      return -53;
    }

    long used = out_args.numInSamples;
    if (used < 0) used = 0;
    if (used > held) used = held;
    held -= used;
    if (held > 0 && used > 0) memmove(pcm_buf, pcm_buf + used, (size_t)held * 2);

    if (out_args.numOutBytes > 0) {
      size_t bytes = (size_t)out_args.numOutBytes;
      if (bytes > info.maxOutBufBytes) bytes = info.maxOutBufBytes;
      if (fwrite(out_buf, 1, bytes, out) != bytes) {
        fprintf(stderr, "write output file %s failed: %s\n", s.outfile, strerror(errno));
        return -54;
      }
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 10) {
    fputs("args error\n", stderr);
    usage();
    return -1;
  }
  Settings s = {};
  if (strcmp(argv[1], "-f") == 0) {
    s.device_mode = false;
  } else if (strcmp(argv[1], "-d") == 0) {
    s.device_mode = true;
  } else {
    fputs("args error\n", stderr);
    usage();
    return -2;
  }
  s.aot = atoi(argv[2]);
  s.eld_sbr = atoi(argv[3]);
  s.sample_rate = atol(argv[4]);
  s.vbr = atoi(argv[5]);
  s.bitrate = atol(argv[6]);
  s.high_quality = atoi(argv[7]);
  if (s.device_mode)
    s.capture_time = atol(argv[8]);
  else
    s.infile = argv[8];
  s.outfile = argv[9];

  if (s.device_mode) {
    puts("Device mode:");
    printf("Capture time: %d second\n", (int)s.capture_time);
  } else {
    puts("File mode:");
  }
  printf("audio object type:%d\n", s.aot);
  printf("sbr on eld:%d\n", s.eld_sbr);
  printf("sample rate:%d\n", (int)s.sample_rate);
  printf("VBR:%d\n", s.vbr);
  printf("bit rate:%d\n", (int)s.bitrate);
  printf("high quality:%d\n", s.high_quality);
  printf("\n\n");

  int result = 0;
  FILE *out = nullptr;
  FILE *in = nullptr;
  snd_pcm_t *pcm = nullptr;
  HANDLE_AACENCODER enc = nullptr;
  AACENC_InfoStruct info = {};
  INT_PCM *pcm_buf = nullptr;
  UCHAR *out_buf = nullptr;

  out = fopen(s.outfile, "wb+");
  if (!out) {
    fprintf(stderr, "open output file %s failed\n", s.outfile);
    result = -3;
    goto cleanup;
  }
  if (!s.device_mode) {
    in = fopen(s.infile, "rb");
    if (!in) {
      fprintf(stderr, "open input file %s failed\n", s.infile);
      result = -4;
      goto cleanup;
    }
  } else if ((result = setup_capture(s, &pcm)) < 0) {
    goto cleanup;
  }
  if ((result = setup_encoder(s, &enc, &info)) < 0) goto cleanup;

  printf("frame size:%d\n", (int)info.frameLength);
  printf("max output bytes:%d\n\n", (int)info.maxOutBufBytes);

  pcm_buf = (INT_PCM *)malloc((size_t)info.frameLength * 2);
  if (!pcm_buf) {
    fputs("malloc pcm buffer failed\n", stderr);
    result = -5;
    goto cleanup;
  }
  out_buf = (UCHAR *)malloc(info.maxOutBufBytes);
  if (!out_buf) {
    fputs("malloc opus buffer failed\n", stderr);
    result = -6;
    goto cleanup;
  }

  puts("start capture");
  fflush(stdout);
  result = encode_loop(s, enc, info, in, pcm, out, pcm_buf, out_buf);

cleanup:
  if (in) fclose(in);
  // The last frames leave the stdio buffer only here; losing them must not
  // pass for success.
  if (out && fclose(out) != 0 && result == 0) {
    fprintf(stderr, "close output file %s failed: %s\n", s.outfile, strerror(errno));
    result = -55;
  }
  free(pcm_buf);
  free(out_buf);
  if (pcm) {
    snd_pcm_drain(pcm);
    snd_pcm_close(pcm);
  }
  if (enc) aacEncClose(&enc);
  return result;
}
