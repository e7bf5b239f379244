// aacplay: an AAC stream with ADTS framing, decoded by fdk-aac to one channel
// of 16-bit PCM, written to a raw file or played on the playback device.

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <alsa/asoundlib.h>
#include <fdk-aac/aacdecoder_lib.h>

#include "mono_pcm.h"

namespace {

const char kPlaybackDevice[] = "hw:0,0";
const unsigned kChunkBytes = 768;

// One decoded frame is at most 2048 samples per channel (HE-AAC). The output
// is mixed down to one channel, but the decoder is told the buffer's true
// capacity in samples and clears all of it after a failed frame, and a frame
// may carry up to eight channels before the mix-down; the buffer is sized for
// that, so no stream makes the decoder write past it.
const int kMaxFrameSamples = 2048;
const int kMaxChannels = 8;
const int kPcmCapacity = kMaxFrameSamples * kMaxChannels;  // in samples

void usage() {
  fputs("usage:\n", stderr);
  fputs("./aacplay -f infile outfile\n", stderr);
  fputs("./aacplay -d infile\n", stderr);
}

int decoder_failed(HANDLE_AACDECODER *dec, const char *msg, int result) {
  fputs(msg, stderr);
  aacDecoder_Close(*dec);
  *dec = nullptr;
  return result;
}

int setup_decoder(HANDLE_AACDECODER *dec) {
  *dec = aacDecoder_Open(TT_MP4_ADTS, 1);
  if (!*dec) {
    fputs("Error opening decoder\n", stderr);
    return -11;
  }
  if (aacDecoder_SetParam(*dec, AAC_CONCEAL_METHOD, 2) != AAC_DEC_OK)
    return decoder_failed(dec, "Unable to set error concealment method\n", -12);
  if (aacDecoder_SetParam(*dec, AAC_PCM_MAX_OUTPUT_CHANNELS, 1) != AAC_DEC_OK)
    return decoder_failed(dec, "Unable to set output channels in the decoder\n", -13);
  if (aacDecoder_SetParam(*dec, AAC_DRC_BOOST_FACTOR, 0) != AAC_DEC_OK)
    return decoder_failed(dec, "Unable to set DRC boost factor in the decoder\n", -14);
  if (aacDecoder_SetParam(*dec, AAC_DRC_ATTENUATION_FACTOR, 0) != AAC_DEC_OK)
    return decoder_failed(dec, "Unable to set DRC attenuation factor in the decoder\n", -15);
  // fdk-aac 2.x takes target levels 40..127 only and switches loudness
  // normalisation off with a negative value; 0 meant the same to older
  // releases. Without the fallback no stream would ever play on 2.x.
  if (aacDecoder_SetParam(*dec, AAC_DRC_REFERENCE_LEVEL, 0) != AAC_DEC_OK &&
      aacDecoder_SetParam(*dec, AAC_DRC_REFERENCE_LEVEL, -1) != AAC_DEC_OK)
    return decoder_failed(dec, "Unable to set DRC reference level in the decoder\n", -16);
  if (aacDecoder_SetParam(*dec, AAC_DRC_HEAVY_COMPRESSION, 0) != AAC_DEC_OK)
    return decoder_failed(dec, "Unable to set DRC heavy compression in the decoder\n", -17);
  return 0;
}

// Results -21 (open) to -27 (applying the parameters), one per step.
int setup_playback(unsigned int rate, snd_pcm_t **pcm) {
  mono_pcm_result r = mono_pcm_open(pcm, kPlaybackDevice, SND_PCM_STREAM_PLAYBACK, 0, rate);
  if (r.step == MONO_PCM_OK) return 0;
  mono_pcm_report(r, false);
  if (r.step == MONO_PCM_OPEN) return -21;
  snd_pcm_close(*pcm);
  *pcm = nullptr;
  return -21 - (r.step - MONO_PCM_OPEN);
}

int play_frame(snd_pcm_t *pcm, const INT_PCM *samples, long count) {
  while (count > 0) {
    snd_pcm_sframes_t n = snd_pcm_writei(pcm, samples, (snd_pcm_uframes_t)count);
    if (n == -EPIPE) {
      fputs("underrun occurred\n", stderr);
      snd_pcm_prepare(pcm);
    } else if (n == -EAGAIN) {
      usleep(100);
    } else if (n < 0) {
      fprintf(stderr, "error from writei: %s\n", snd_strerror((int)n));
      return -48;
    } else {
      samples += n;
      count -= n;
    }
  }
  return 0;
}

struct Player {
  bool device_mode;
  const char *outfile;
  HANDLE_AACDECODER dec;
  FILE *in;
  FILE *out;
  snd_pcm_t *pcm;
  INT_PCM *pcm_buf;
  UCHAR *in_buf;
};

// Opens the output at the first decoded frame, from the stream's own rate.
int open_output(Player &p) {
  CStreamInfo *info = aacDecoder_GetStreamInfo(p.dec);
  if (!info) {
    fputs("Unable to get stream info\n", stderr);
    return -44;
  }
  if (info->sampleRate <= 0) {
    fputs("Stream info not initialized\n", stderr);
    return -45;
  }
  printf("sample rate:%d\n", info->sampleRate);
  printf("frame size:%d\n", info->frameSize);
  printf("\n\n");
  if (!p.device_mode) {
    p.out = fopen(p.outfile, "wb+");
    if (!p.out) {
      fprintf(stderr, "open output file %s failed\n", p.outfile);
      return -46;
    }
    return 0;
  }
  return setup_playback((unsigned int)info->sampleRate, &p.pcm);
}

int write_frame(Player &p) {
  CStreamInfo *info = aacDecoder_GetStreamInfo(p.dec);
  long count = info ? info->frameSize : 0;
  // The decoder refuses frames that do not fit its buffer; never trust that
  // alone with what goes out of it.
  if (count < 0) count = 0;
  if (count > kPcmCapacity) count = kPcmCapacity;
  if (!p.device_mode) {
    // A short count is a failed write too: the rest of the frame is lost.
    if (fwrite(p.pcm_buf, 2, (size_t)count, p.out) != (size_t)count) {
      fputs("write file error\n", stderr);
      return -47;
    }
    return 0;
  }
  return play_frame(p.pcm, p.pcm_buf, count);
}

int decode_loop(Player &p) {
  bool input_ended = false;
  bool output_open = false;
  UCHAR *chunk[1] = {p.in_buf};
  UINT chunk_size[1] = {0};
  UINT valid = 0;

  enum { kRead, kFill, kDecode } step = kRead;
  for (;;) {
    if (step == kRead) {
      size_t got = 0;
      while (got < kChunkBytes) {
        size_t n = fread(p.in_buf + got, 1, kChunkBytes - got, p.in);
        if (n == 0) {
          if (!feof(p.in)) {
            fputs("read file error\n", stderr);
            return -41;
          }
          input_ended = true;
          break;
        }
        got += n;
      }
      chunk_size[0] = (UINT)got;
      valid = (UINT)got;
      step = kFill;
    }
    if (step == kFill) {
      if (aacDecoder_Fill(p.dec, chunk, chunk_size, &valid) != AAC_DEC_OK) {
        fputs("aacDecoder_Fill failed\n", stderr);
        return -42;
      }
    }

    AAC_DECODER_ERROR err = aacDecoder_DecodeFrame(p.dec, p.pcm_buf, kPcmCapacity, 0);
    if (err == AAC_DEC_NOT_ENOUGH_BITS) {
      if (valid > 0) {
        step = kFill;
      } else if (!input_ended) {
        step = kRead;
      } else {
        puts("end aac decode");
        return 0;
      }
      continue;
    }
    if (err != AAC_DEC_OK) {
      fprintf(stderr, "aacDecoder_DecodeFrame failed --- 0x%08x\n", (unsigned)err);
      return -43;
    }

    if (!output_open) {
      int rc = open_output(p);
      if (rc < 0) return rc;
      output_open = true;
    }
    int rc = write_frame(p);
    if (rc < 0) return rc;

    if (valid > 0)
      step = kFill;
    else if (input_ended)
      step = kDecode;  // drain what the decoder still holds
    else
      step = kRead;
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    fputs("Command error.\n", stderr);
    usage();
    return -1;
  }
  Player p = {};
  const char *infile;
  // Paths are counted from the end of the argument list.
  if (strcmp(argv[1], "-f") == 0) {
    p.device_mode = false;
    infile = argv[argc - 2];
    p.outfile = argv[argc - 1];
    puts("File mode:");
  } else if (strcmp(argv[1], "-d") == 0) {
    p.device_mode = true;
    infile = argv[argc - 1];
    puts("Device mode:");
  } else {
    fputs("Command error.\n", stderr);
    usage();
    return -2;
  }

  int result = setup_decoder(&p.dec);
  if (result < 0) goto cleanup;

  p.in = fopen(infile, "rb");
  if (!p.in) {
    fprintf(stderr, "open input file %s failed\n", infile);
    result = -3;
    goto cleanup;
  }
  p.pcm_buf = (INT_PCM *)malloc(kPcmCapacity * sizeof(INT_PCM));
  if (!p.pcm_buf) {
    fputs("malloc PCM buffer failed\n", stderr);
    result = 5;
    goto cleanup;
  }
  p.in_buf = (UCHAR *)malloc(kChunkBytes);
  if (!p.in_buf) {
    fputs("malloc AAC buffer failed\n", stderr);
    result = 6;
    goto cleanup;
  }

  puts("start aac decode");
  fflush(stdout);
  result = decode_loop(p);

cleanup:
  if (p.in) fclose(p.in);
  // The last samples leave the stdio buffer only here; losing them must not
  // pass for success.
  if (p.out && fclose(p.out) != 0 && result == 0) {
    fprintf(stderr, "close output file %s failed: %s\n", p.outfile, strerror(errno));
    result = -49;
  }
  free(p.pcm_buf);
  free(p.in_buf);
  if (p.pcm) {
    snd_pcm_drain(p.pcm);
    snd_pcm_close(p.pcm);
  }
  if (p.dec) aacDecoder_Close(p.dec);
  return result;
}
