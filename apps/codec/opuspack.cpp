// opuspack: encodes 16-bit mono PCM, from a raw file or from the capture
// device, into an Opus packet file.
#include <alsa/asoundlib.h>
#include <errno.h>
#include <opus.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mono_pcm.h"
#include "opus_packet_file.h"

namespace {

const char capture_device[] = "hw:0,0";
const int alsa_wait_ms = 1000;

void usage()
{
  fprintf(stderr, "args error\n");
  fprintf(stderr, "./opuspack -f sample_rate bit_rate frame_size complexity(0 ~ 10) VBR  infile outfile\n");
  fprintf(stderr, "./opuspack -d sample_rate bit_rate frame_size complexity(0 ~ 10) VBR capture_time(in second) outfile\n");
}

// Everything the run acquires; finish() releases exactly what is set.
struct packer {
  bool device_mode = false;
  FILE *in = nullptr;
  FILE *out = nullptr;
  snd_pcm_t *pcm = nullptr;
  OpusEncoder *enc = nullptr;
  opus_int16 *samples = nullptr;
  unsigned char *packet = nullptr;
};

// The one clean-up path for every outcome once the output file is open.
int finish(packer &p, int status)
{
  if (p.in)
    fclose(p.in);
  // Records still in the stdio buffer reach the file only here; losing them
  // must not pass for success.
  if (fclose(p.out) != 0 && status == 0) {
    fprintf(stderr, "write file error\n");
    status = -1;
  }
  free(p.samples);
  free(p.packet);
  if (p.pcm) {
    snd_pcm_drain(p.pcm);
    snd_pcm_close(p.pcm);
  }
  if (p.enc)
    opus_encoder_destroy(p.enc);
  return status;
}

// A failed step is reported with the ALSA code's own text.
int open_capture(packer &p, int rate)
{
  mono_pcm_result r = mono_pcm_open(&p.pcm, capture_device, SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK, static_cast<unsigned>(rate));
  if (r.step == MONO_PCM_OK)
    return 0;
  mono_pcm_report(r, true);
  return -1;
}

enum class fill { full, end, failed };

// File mode: the missing samples are read as bytes, so a sample split across
// two reads is not lost. A read that returns nothing ends the input; the
// partly filled block is dropped.
fill fill_from_file(packer &p, size_t have_bytes, size_t want_bytes)
{
  unsigned char *buf = reinterpret_cast<unsigned char *>(p.samples);
  size_t got = kep::opf::read_full(p.in, buf + have_bytes, want_bytes - have_bytes);
  return have_bytes + got == want_bytes ? fill::full : fill::end;
}

fill fill_from_device(packer &p, int have, int want)
{
  while (have < want) {
    snd_pcm_sframes_t n = snd_pcm_readi(p.pcm, p.samples + have, static_cast<snd_pcm_uframes_t>(want - have));
    if (n > 0) {
      have += static_cast<int>(n);
    } else if (n == -EPIPE) {
      fprintf(stderr, "overrun occurred\n");
      snd_pcm_prepare(p.pcm);
    } else if (n == -EAGAIN) {
      snd_pcm_wait(p.pcm, alsa_wait_ms);
    } else {
      fprintf(stderr, "error from readi: %s\n", snd_strerror(static_cast<int>(n)));
      return fill::failed;
    }
  }
  return fill::full;
}

}  // namespace

int main(int argc, char **argv)
{
  if (argc != 9 || (strcmp(argv[1], "-f") != 0 && strcmp(argv[1], "-d") != 0)) {
    usage();
    return -1;
  }
  packer p;
  p.device_mode = strcmp(argv[1], "-d") == 0;
  const int rate = atoi(argv[2]);
  const int bit_rate = atoi(argv[3]);
  const int frame_size = atoi(argv[4]);
  const int complexity = atoi(argv[5]);
  const int vbr = atoi(argv[6]);
  const char *in_path = argv[7];
  const int capture_time = atoi(argv[7]);
  const char *out_path = argv[8];

  if (p.device_mode) {
    printf("Device mode:\n");
    printf("Capture time: %d second\n", capture_time);
  } else {
    printf("File mode:\n");
  }
  printf("sample rate:%d\n", rate);
  printf("bit rate:%d\n", bit_rate);
  printf("frame size:%d\n", frame_size);
  printf("complexity:%d\n", complexity);
  printf("VBR:%d\n", vbr);
  printf("\n\n");

  p.out = fopen(out_path, "wb+");
  if (!p.out) {
    fprintf(stderr, "open output file %s failed\n", out_path);
    return -1;
  }
  if (!p.device_mode) {
    p.in = fopen(in_path, "rb");
    if (!p.in) {
      fprintf(stderr, "open input file %s failed\n", in_path);
      return finish(p, -1);
    }
  } else if (open_capture(p, rate) != 0) {
    return finish(p, -1);
  }

  int err = 0;
  p.enc = opus_encoder_create(rate, 1, OPUS_APPLICATION_VOIP, &err);
  if (err != OPUS_OK || !p.enc) {
    fprintf(stderr, "Cannot create encoder: %s\n", opus_strerror(err));
    p.enc = nullptr;
    return finish(p, -2);
  }
  // The results are not examined: a value libopus refuses leaves its default.
  opus_encoder_ctl(p.enc, OPUS_SET_BITRATE(bit_rate));
  opus_encoder_ctl(p.enc, OPUS_SET_BANDWIDTH(OPUS_BANDWIDTH_WIDEBAND));  // 8 kHz audio band
  opus_encoder_ctl(p.enc, OPUS_SET_VBR(vbr));
  opus_encoder_ctl(p.enc, OPUS_SET_COMPLEXITY(complexity));

  // A negative frame size wraps to a size no allocation can satisfy.
  const size_t block_bytes = 2 * static_cast<size_t>(frame_size);
  p.samples = static_cast<opus_int16 *>(malloc(block_bytes));
  if (!p.samples) {
    fprintf(stderr, "malloc pcm buffer failed\n");
    return finish(p, -1);
  }
  p.packet = static_cast<unsigned char *>(malloc(block_bytes));
  if (!p.packet) {
    fprintf(stderr, "malloc opus buffer failed\n");
    return finish(p, -1);
  }
  printf("start capture\n");

  // Unsigned division first, as the block count has always been computed. A
  // frame size of 0 has no block count: its first encode fails as in file mode.
  const unsigned blocks = frame_size != 0
      ? static_cast<unsigned>(rate) / static_cast<unsigned>(frame_size) * static_cast<unsigned>(capture_time)
      : 0u;
  int carried = 0;
  for (int i = 0;; i++) {
    if (p.device_mode && frame_size != 0 && static_cast<unsigned>(i) >= blocks) {
      printf("end capture\n");
      return finish(p, 0);
    }
    fill f = p.device_mode ? fill_from_device(p, carried, frame_size)
                           : fill_from_file(p, 2 * static_cast<size_t>(carried), block_bytes);
    if (f == fill::failed)
      return finish(p, -1);
    if (f == fill::end) {
      printf("end capture\n");
      return finish(p, 0);
    }

    opus_int32 len = opus_encode(p.enc, p.samples, frame_size, p.packet, static_cast<opus_int32>(block_bytes));
    if (len < 0) {
      fprintf(stderr, "error opus encode:%d\n", len);
      return finish(p, -3);
    }
    int used = opus_packet_get_samples_per_frame(p.packet, rate) * opus_packet_get_nb_frames(p.packet, len);
    carried = frame_size - used;
    // libopus always codes the whole block; a count outside it would move
    // memory outside the buffer or make no progress, so nothing is carried.
    if (carried < 0 || carried >= frame_size)
      carried = 0;
    if (carried != 0)
      memmove(p.samples, p.samples + used, 2 * static_cast<size_t>(carried));

    printf("%d:encode data size %d\n", i, len);
    printf("%d:encode frame %d\n", i, used);
    printf("%d:remain frame %d\n", i, carried);
    if (!kep::opf::write_record(p.out, p.packet, len)) {
      fprintf(stderr, "write file error\n");
      return finish(p, -1);
    }
  }
}
