// aacpack and aacplay against a bare fdk-aac loop on the same data, with
// FFmpeg's own AAC encoder and decoder (libavcodec) as a peer, all timed in
// the same run.
//
//   build/bench/aac_bench [seconds of 48 kHz audio, default 180] [rounds, default 5]
//
// Every contender is a process of its own, so start-up and file input and
// output are paid alike: the bare loops are aac_bench_fdk (which links
// fdk-aac only, like the tools), the FFmpeg peer is this program re-run with
// a role argument. The measure is the child's CPU time (user
// plus system): on a shared machine wall time mostly measures the others.
// The best of the rounds is kept.

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

const int kRate = 48000;
const int kBitrate = 64000;

// ---- the FFmpeg peer ------------------------------------------------------

int ffmpeg_encode(const char *in_path, const char *out_path) {
  FILE *in = fopen(in_path, "rb"), *out = fopen(out_path, "wb");
  const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  AVCodecContext *ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
  if (!in || !out || !ctx) return 1;
  ctx->sample_rate = kRate;
  ctx->bit_rate = kBitrate;
  ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
  av_channel_layout_default(&ctx->ch_layout, 1);
  if (avcodec_open2(ctx, codec, nullptr) < 0) return 1;
  AVFrame *frame = av_frame_alloc();
  AVPacket *pkt = av_packet_alloc();
  frame->nb_samples = ctx->frame_size;
  frame->format = ctx->sample_fmt;
  av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
  if (av_frame_get_buffer(frame, 0) < 0) return 1;
  std::vector<int16_t> pcm((size_t)ctx->frame_size);
  auto drain = [&]() {
    while (avcodec_receive_packet(ctx, pkt) == 0) {
      fwrite(pkt->data, 1, (size_t)pkt->size, out);
      av_packet_unref(pkt);
    }
  };
  size_t n;
  while ((n = fread(pcm.data(), 2, pcm.size(), in)) == pcm.size()) {
    if (av_frame_make_writable(frame) < 0) return 1;
    float *dst = (float *)frame->data[0];
    for (size_t i = 0; i < n; i++) dst[i] = pcm[i] / 32768.0f;
    if (avcodec_send_frame(ctx, frame) < 0) return 1;
    drain();
  }
  avcodec_send_frame(ctx, nullptr);
  drain();
  av_packet_free(&pkt);
  av_frame_free(&frame);
  avcodec_free_context(&ctx);
  fclose(in);
  fclose(out);
  return 0;
}

int ffmpeg_decode(const char *in_path, const char *out_path) {
  FILE *in = fopen(in_path, "rb"), *out = fopen(out_path, "wb");
  const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
  AVCodecParserContext *parser = av_parser_init(AV_CODEC_ID_AAC);
  AVCodecContext *ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
  AVPacket *pkt = av_packet_alloc();
  AVFrame *frame = av_frame_alloc();
  if (!in || !out || !parser || !ctx || avcodec_open2(ctx, codec, nullptr) < 0) return 1;
  std::vector<uint8_t> buf(768 + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  std::vector<int16_t> pcm;
  auto drain = [&]() {
    while (avcodec_receive_frame(ctx, frame) == 0) {
      const float *src = (const float *)frame->extended_data[0];
      pcm.resize((size_t)frame->nb_samples);
      for (int i = 0; i < frame->nb_samples; i++) {
        float v = src[i] * 32768.0f;
        pcm[(size_t)i] = (int16_t)(v > 32767.0f ? 32767 : v < -32768.0f ? -32768 : lrintf(v));
      }
      fwrite(pcm.data(), 2, pcm.size(), out);
    }
  };
  bool ended = false;
  while (!ended) {
    size_t n = fread(buf.data(), 1, 768, in);
    ended = n == 0;
    const uint8_t *p = buf.data();
    int left = (int)n;
    do {
      int used = av_parser_parse2(parser, ctx, &pkt->data, &pkt->size, p, left, AV_NOPTS_VALUE,
                                  AV_NOPTS_VALUE, 0);
      if (used < 0) return 1;
      p += used;
      left -= used;
      if (pkt->size > 0) {
        if (avcodec_send_packet(ctx, pkt) < 0) return 1;
        drain();
      }
    } while (left > 0);
  }
  avcodec_send_packet(ctx, nullptr);
  drain();
  av_parser_close(parser);
  av_packet_free(&pkt);
  av_frame_free(&frame);
  avcodec_free_context(&ctx);
  fclose(in);
  fclose(out);
  return 0;
}

// ---- timing ----------------------------------------------------------------

// Runs the command with its output discarded; keeps its best CPU time.
bool run_timed(const std::vector<std::string> &args, double *best_cpu) {
  pid_t pid = fork();
  if (pid == 0) {
    if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(126);
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage ru;
  if (wait4(pid, &status, 0, &ru) < 0) return false;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "%s failed (status 0x%x)\n", args[0].c_str(), (unsigned)status);
    return false;
  }
  double cpu = (double)ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + (double)ru.ru_stime.tv_sec +
               ru.ru_stime.tv_usec / 1e6;
  if (cpu < *best_cpu) *best_cpu = cpu;
  return true;
}

// Speech-like audio: harmonics of a gliding pitch in syllable-length bursts.
bool write_signal(const std::string &path, int seconds) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return false;
  std::vector<int16_t> block(kRate);
  double phase = 0;
  for (int s = 0; s < seconds; s++) {
    for (int i = 0; i < kRate; i++) {
      double t = s + (double)i / kRate;
      phase += 2 * M_PI * (170.0 + 50.0 * sin(2 * M_PI * 0.7 * t)) / kRate;
      double v = 0;
      for (int k = 1; k <= 8; k++) v += sin(k * phase) / k;
      double env = 0.25 + 0.75 * pow(sin(M_PI * 4.0 * t), 2);
      block[(size_t)i] = (int16_t)lrint(6000.0 * env * v);
    }
    fwrite(block.data(), 2, block.size(), f);
  }
  return fclose(f) == 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 4) {
    std::string role = argv[1];
    if (role == "--ffmpeg-encode") return ffmpeg_encode(argv[2], argv[3]);
    if (role == "--ffmpeg-decode") return ffmpeg_decode(argv[2], argv[3]);
  }
  int seconds = argc > 1 ? atoi(argv[1]) : 180;
  int rounds = argc > 2 ? atoi(argv[2]) : 5;
  if (seconds <= 0 || rounds <= 0) {
    fprintf(stderr, "usage: %s [seconds] [rounds]\n", argv[0]);
    return 2;
  }

  char dir_template[] = "/tmp/aac_bench.XXXXXX";
  if (!mkdtemp(dir_template)) return 1;
  const std::string dir = dir_template, self = "/proc/self/exe";
  char self_path[4096];
  ssize_t len = readlink(self.c_str(), self_path, sizeof self_path - 1);
  if (len <= 0) return 1;
  self_path[len] = '\0';
  const std::string bin = KEP_BIN_DIR, pcm = dir + "/in.pcm", adts = dir + "/ref.aac";
  if (!write_signal(pcm, seconds)) return 1;

  // The decoders all read the same stream, made once by the bare loop.
  std::string bare = self_path;
  bare = bare.substr(0, bare.rfind('/') + 1) + "aac_bench_fdk";
  double unused = 1e30;
  if (!run_timed({bare, "--encode", pcm, adts}, &unused)) return 1;

  struct Contender {
    const char *name;
    std::vector<std::string> args;
    double cpu;
  } enc[] = {
      {"aacpack", {bin + "/aacpack", "-f", "2", "0", "48000", "0", "64000", "1", pcm, dir + "/a.aac"}, 1e30},
      {"bare fdk-aac encode", {bare, "--encode", pcm, dir + "/b.aac"}, 1e30},
      {"FFmpeg aac encoder", {self_path, "--ffmpeg-encode", pcm, dir + "/c.aac"}, 1e30},
  }, dec[] = {
      {"aacplay", {bin + "/aacplay", "-f", adts, dir + "/a.pcm"}, 1e30},
      {"bare fdk-aac decode", {bare, "--decode", adts, dir + "/b.pcm"}, 1e30},
      {"FFmpeg aac decoder", {self_path, "--ffmpeg-decode", adts, dir + "/c.pcm"}, 1e30},
  };
  bool ok = true;
  // Rounds interleave the contenders so that a busy moment hits them alike.
  for (int r = 0; r < rounds && ok; r++) {
    for (Contender &c : enc) ok = ok && run_timed(c.args, &c.cpu);
    for (Contender &c : dec) ok = ok && run_timed(c.args, &c.cpu);
  }
  std::string cleanup = "rm -rf '" + dir + "'";
  if (system(cleanup.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
  if (!ok) return 1;

  printf("aac_bench: %d s of 48 kHz mono speech-like audio, AAC-LC 64 kbit/s, best CPU time of %d rounds\n",
         seconds, rounds);
  for (Contender *set : {enc, dec}) {
    for (int i = 0; i < 3; i++)
      printf("  %-22s %8.3f s CPU  real-time factor %7.1f x\n", set[i].name, set[i].cpu,
             seconds / set[i].cpu);
    printf("  %s / bare fdk-aac: %.3f (overhead %+.1f %%, target within 3 %%)\n", set[0].name,
           set[0].cpu / set[1].cpu, 100.0 * (set[0].cpu / set[1].cpu - 1.0));
    printf("  %s / FFmpeg: %.3f\n", set[0].name, set[0].cpu / set[2].cpu);
  }
  return 0;
}
