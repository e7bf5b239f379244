// opusplay: decodes an Opus packet file into 16-bit mono PCM, stored in a raw
// file or played on the playback device.
#include <alsa/asoundlib.h>
#include <errno.h>
#include <opus.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "mono_pcm.h"
#include "opus_packet_file.h"

namespace {

const char playback_device[] = "hw:0,0";
const useconds_t retry_sleep_us = 100;

void usage()
{
  fprintf(stderr, "args error\n");
  fprintf(stderr, "./opusplay -f sample_rate infile outfile\n");
  fprintf(stderr, "./opusplay -d sample_rate infile\n");
}

// Everything the run acquires; finish() releases exactly what is set.
struct player {
  bool device_mode = false;
  FILE *in = nullptr;
  FILE *out = nullptr;
  snd_pcm_t *pcm = nullptr;
  OpusDecoder *dec = nullptr;
  opus_int16 *samples = nullptr;
  unsigned char *packet = nullptr;
};

// The one clean-up path for every outcome once the input file is open.
int finish(player &p, int status)
{
  fclose(p.in);
  // Samples still in the stdio buffer reach the file only here; losing them
  // must not pass for success.
  if (p.out && fclose(p.out) != 0 && status == 0) {
    fprintf(stderr, "write file error\n");
    status = -1;
  }
  free(p.samples);
  free(p.packet);
  if (p.pcm) {
    // A non-blocking drain returns at once and the close would drop what is
    // still queued; blocking lets it play out.
    snd_pcm_nonblock(p.pcm, 0);
    snd_pcm_drain(p.pcm);
    snd_pcm_close(p.pcm);
  }
  if (p.dec)
    opus_decoder_destroy(p.dec);
  return status;
}

// A failed step is reported with the ALSA code's own text.
int open_playback(player &p, int rate)
{
  mono_pcm_result r = mono_pcm_open(&p.pcm, playback_device, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK, static_cast<unsigned>(rate));
  if (r.step == MONO_PCM_OK)
    return 0;
  mono_pcm_report(r, true);
  return -1;
}

// Returns 0 when all n samples were delivered, otherwise the exit status.
int deliver_to_file(player &p, int n)
{
  size_t size = 2 * static_cast<size_t>(n);
  if (kep::opf::write_full(p.out, p.samples, size) != size) {
    fprintf(stderr, "write file error\n");
    return -1;
  }
  return 0;
}

int deliver_to_device(player &p, int n)
{
  int played = 0;
  while (played < n) {
    snd_pcm_sframes_t r = snd_pcm_writei(p.pcm, p.samples + played, static_cast<snd_pcm_uframes_t>(n - played));
    if (r > 0) {
      played += static_cast<int>(r);
    } else if (r == -EPIPE) {
      fprintf(stderr, "underrun occurred\n");
      snd_pcm_prepare(p.pcm);
    } else if (r == -EAGAIN) {
      usleep(retry_sleep_us);
    } else {
      fprintf(stderr, "error from writei: %s\n", snd_strerror(static_cast<int>(r)));
      return -1;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv)
{
  if (argc < 4 || (strcmp(argv[1], "-f") != 0 && strcmp(argv[1], "-d") != 0)) {
    usage();
    return -1;
  }
  player p;
  p.device_mode = strcmp(argv[1], "-d") == 0;
  const int rate = atoi(argv[2]);
  // 120 ms, the longest span one packet can hold, in unsigned 32-bit.
  const uint32_t frame_size = static_cast<uint32_t>(rate) * 3u / 25u;
  const char *in_path = p.device_mode ? argv[argc - 1] : argv[argc - 2];
  const char *out_path = argv[argc - 1];

  printf(p.device_mode ? "Device mode:\n" : "File mode:\n");
  printf("sample rate:%d\n", rate);
  printf("frame size:%d\n", static_cast<int>(frame_size));
  printf("\n\n");

  p.in = fopen(in_path, "rb");
  if (!p.in) {
    fprintf(stderr, "open input file %s failed\n", in_path);
    return -1;
  }
  if (!p.device_mode) {
    p.out = fopen(out_path, "wb+");
    if (!p.out) {
      fprintf(stderr, "open output file %s failed\n", out_path);
      return finish(p, -1);
    }
  } else if (open_playback(p, rate) != 0) {
    return finish(p, -1);
  }

  int err = 0;
  p.dec = opus_decoder_create(rate, 1, &err);
  if (err != OPUS_OK || !p.dec) {
    fprintf(stderr, "Cannot create decoder: %s\n", opus_strerror(err));
    p.dec = nullptr;
    return finish(p, -2);
  }

  const size_t buffer_bytes = 2 * static_cast<size_t>(frame_size);
  p.samples = static_cast<opus_int16 *>(malloc(buffer_bytes));
  if (!p.samples) {
    fprintf(stderr, "malloc pcm buffer failed\n");
    return finish(p, -1);
  }
  p.packet = static_cast<unsigned char *>(malloc(buffer_bytes));
  if (!p.packet) {
    fprintf(stderr, "malloc opus buffer failed\n");
    return finish(p, -1);
  }

  for (int i = 0;; i++) {
    int32_t len;
    if (!kep::opf::read_length(p.in, &len)) {
      fprintf(stderr, "read file error\n");
      return finish(p, 0);
    }
    printf("%d:decode block size:%d\n", i, len);
    switch (kep::opf::read_packet(p.in, len, p.packet, buffer_bytes)) {
    case kep::opf::packet_read::ok:
      break;
    case kep::opf::packet_read::truncated:
      fprintf(stderr, "decode end\n");
      return finish(p, 0);
    case kep::opf::packet_read::oversized:
      // No packet written at this rate can be this long: the file is damaged
      // or was written at another rate.
      fprintf(stderr, "packet size %d exceeds buffer size %zu\n", len, buffer_bytes);
      return finish(p, -4);
    }
    int n = opus_decode(p.dec, p.packet, len, p.samples, static_cast<int>(frame_size), 0);
    if (n < 0) {
      fprintf(stderr, "error opus decode:%d\n", n);
      return finish(p, -3);
    }
    int status = p.device_mode ? deliver_to_device(p, n) : deliver_to_file(p, n);
    if (status != 0)
      return finish(p, status);
  }
}
