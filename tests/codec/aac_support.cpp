#include "aac_support.h"

#include "child_capture.h"

#include <fcntl.h>
#include <math.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fdk-aac/aacenc_lib.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace aac_test {

RunResult run_program(const std::string &program, const std::vector<std::string> &args,
                      const std::string &cwd, const std::vector<std::string> &env) {
  std::vector<std::string> argv{program[0] == '/' ? program
                                                  : std::string(KEP_BUILD_DIR) + "/bin/" + program};
  argv.insert(argv.end(), args.begin(), args.end());
  kep_child::Captured c = kep_child::capture([&] {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    kep_child::exec_program(argv, env);
  });
  RunResult r{-1000, "", ""};
  if (!c.ran) return r;
  r.out = std::move(c.out);
  r.err = std::move(c.err);
  r.status = WIFEXITED(c.wait_status) ? WEXITSTATUS(c.wait_status) : -WTERMSIG(c.wait_status);
  return r;
}

std::string alsa_config(const std::string &name) {
  return "ALSA_CONFIG_PATH=" +
         (name.find('/') == std::string::npos ? std::string(KEP_BUILD_DIR) + "/share/alsa/" + name
                                              : name);
}

std::string scratch_dir(const std::string &name) {
  std::string dir = std::string(KEP_BUILD_DIR) + "/test-scratch";
  mkdir(dir.c_str(), 0755);
  dir += "/" + name;
  std::string cmd = "rm -rf '" + dir + "'";
  if (system(cmd.c_str()) != 0) return dir;
  mkdir(dir.c_str(), 0755);
  return dir;
}

bool file_exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::vector<uint8_t> read_bytes(const std::string &path) {
  std::vector<uint8_t> data;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return data;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
  fclose(f);
  return data;
}

void write_bytes(const std::string &path, const std::vector<uint8_t> &data) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return;
  if (!data.empty()) fwrite(data.data(), 1, data.size(), f);
  fclose(f);
}

std::vector<int16_t> read_pcm(const std::string &path) {
  std::vector<uint8_t> bytes = read_bytes(path);
  std::vector<int16_t> s(bytes.size() / 2);
  if (!s.empty()) memcpy(s.data(), bytes.data(), s.size() * 2);
  return s;
}

void write_pcm(const std::string &path, const std::vector<int16_t> &samples) {
  std::vector<uint8_t> bytes(samples.size() * 2);
  if (!bytes.empty()) memcpy(bytes.data(), samples.data(), bytes.size());
  write_bytes(path, bytes);
}

std::vector<int16_t> speech_like(int sample_rate, int samples, double pitch_scale) {
  std::vector<int16_t> s((size_t)samples);
  double phase = 0;
  for (int n = 0; n < samples; n++) {
    double t = (double)n / sample_rate;
    // The pitch glides between 120 and 220 Hz like intonation.
    double f0 = pitch_scale * (170.0 + 50.0 * sin(2 * M_PI * 0.7 * t));
    phase += 2 * M_PI * f0 / sample_rate;
    double v = 0;
    for (int k = 1; k <= 8; k++) v += sin(k * phase) / k;
    // Syllables at about four per second, never quite silent.
    double env = 0.25 + 0.75 * pow(sin(M_PI * 4.0 * t), 2);
    s[(size_t)n] = (int16_t)lrint(6000.0 * env * v);
  }
  return s;
}

double best_correlation(const std::vector<int16_t> &source, const std::vector<int16_t> &decoded,
                        int max_lag, int *lag_out) {
  auto corr = [&](int lag, size_t from, size_t count) {
    double sxy = 0, sxx = 0, syy = 0, sx = 0, sy = 0;
    size_t n = 0;
    for (size_t i = from; i < from + count; i++) {
      if (i >= source.size() || i + (size_t)lag >= decoded.size()) break;
      double x = source[i], y = decoded[i + (size_t)lag];
      sx += x;
      sy += y;
      sxx += x * x;
      syy += y * y;
      sxy += x * y;
      n++;
    }
    if (n < 16) return 0.0;
    double cov = sxy - sx * sy / n, vx = sxx - sx * sx / n, vy = syy - sy * sy / n;
    if (vx <= 0 || vy <= 0) return 0.0;
    return cov / sqrt(vx * vy);
  };
  // The lag is found on a window past the codec's start-up, then the whole
  // overlap is compared at that lag.
  size_t window_start = 4096, window = 4096;
  int best_lag = 0;
  double best = -2;
  for (int lag = 0; lag <= max_lag; lag++) {
    double c = corr(lag, window_start, window);
    if (c > best) {
      best = c;
      best_lag = lag;
    }
  }
  if (lag_out) *lag_out = best_lag;
  return corr(best_lag, 0, source.size());
}

std::vector<AdtsFrame> parse_adts(const std::vector<uint8_t> &d, size_t *rest) {
  std::vector<AdtsFrame> frames;
  size_t pos = 0;
  while (pos + 7 <= d.size()) {
    const uint8_t *h = &d[pos];
    if (h[0] != 0xFF || (h[1] & 0xF6) != 0xF0) break;
    size_t len = ((size_t)(h[3] & 0x03) << 11) | ((size_t)h[4] << 3) | (h[5] >> 5);
    if (len < 7 || pos + len > d.size()) break;
    AdtsFrame f;
    f.offset = pos;
    f.length = len;
    f.profile = h[2] >> 6;
    f.rate_index = (h[2] >> 2) & 0x0F;
    f.channel_config = ((h[2] & 0x01) << 2) | (h[3] >> 6);
    frames.push_back(f);
    pos += len;
  }
  if (rest) *rest = d.size() - pos;
  return frames;
}

std::vector<uint8_t> fdk_encode(const std::vector<int16_t> &interleaved, int channels,
                                int channel_mode, int aot, int sample_rate, int bitrate) {
  std::vector<uint8_t> stream;
  HANDLE_AACENCODER enc = nullptr;
  if (aacEncOpen(&enc, 0, (UINT)channels) != AACENC_OK) return stream;
  bool ok = aacEncoder_SetParam(enc, AACENC_AOT, (UINT)aot) == AACENC_OK &&
            aacEncoder_SetParam(enc, AACENC_SAMPLERATE, (UINT)sample_rate) == AACENC_OK &&
            aacEncoder_SetParam(enc, AACENC_CHANNELMODE, (UINT)channel_mode) == AACENC_OK &&
            aacEncoder_SetParam(enc, AACENC_CHANNELORDER, 1) == AACENC_OK &&
            aacEncoder_SetParam(enc, AACENC_BITRATE, (UINT)bitrate) == AACENC_OK &&
            aacEncoder_SetParam(enc, AACENC_TRANSMUX, TT_MP4_ADTS) == AACENC_OK &&
            aacEncEncode(enc, nullptr, nullptr, nullptr, nullptr) == AACENC_OK;
  AACENC_InfoStruct info = {};
  if (!ok || aacEncInfo(enc, &info) != AACENC_OK) {
    aacEncClose(&enc);
    return stream;
  }
  std::vector<uint8_t> out(info.maxOutBufBytes);
  size_t pos = 0;
  const size_t block = (size_t)info.frameLength * (size_t)channels;
  for (;;) {
    bool flush = pos >= interleaved.size();
    size_t count = flush ? 0 : std::min(block, interleaved.size() - pos);
    void *in_ptr = const_cast<int16_t *>(interleaved.data() + (flush ? 0 : pos));
    INT in_id = IN_AUDIO_DATA, in_size = (INT)(count * 2), in_el = 2;
    void *out_ptr = out.data();
    INT out_id = OUT_BITSTREAM_DATA, out_size = (INT)out.size(), out_el = 1;
    AACENC_BufDesc in_desc = {1, &in_ptr, &in_id, &in_size, &in_el};
    AACENC_BufDesc out_desc = {1, &out_ptr, &out_id, &out_size, &out_el};
    AACENC_InArgs in_args = {};
    AACENC_OutArgs out_args = {};
    in_args.numInSamples = flush ? -1 : (INT)count;
    AACENC_ERROR err = aacEncEncode(enc, &in_desc, &out_desc, &in_args, &out_args);
    if (err != AACENC_OK) break;
    if (!flush) pos += (size_t)out_args.numInSamples;
    stream.insert(stream.end(), out.begin(), out.begin() + out_args.numOutBytes);
  }
  aacEncClose(&enc);
  return stream;
}

FfmpegDecode ffmpeg_decode(const std::vector<uint8_t> &adts) {
  FfmpegDecode r{false, "", 0, 0, 0, {}};
  const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
  AVCodecParserContext *parser = av_parser_init(AV_CODEC_ID_AAC);
  AVCodecContext *ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
  AVPacket *pkt = av_packet_alloc();
  AVFrame *frame = av_frame_alloc();
  if (!codec || !parser || !ctx || !pkt || !frame || avcodec_open2(ctx, codec, nullptr) < 0) {
    r.error = "FFmpeg AAC decoder not available";
  } else {
    // The parser wants padding after the data it reads.
    std::vector<uint8_t> buf(adts);
    buf.resize(adts.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    const uint8_t *data = buf.data();
    int left = (int)adts.size();
    bool failed = false;
    auto drain = [&]() {
      while (avcodec_receive_frame(ctx, frame) == 0) {
        r.sample_rate = frame->sample_rate;
        r.channels = frame->ch_layout.nb_channels;
        const float *ch0 = (const float *)frame->extended_data[0];
        for (int i = 0; i < frame->nb_samples; i++) {
          double v = ch0[i] * 32768.0;
          if (v > 32767) v = 32767;
          if (v < -32768) v = -32768;
          r.mono.push_back((int16_t)lrint(v));
        }
      }
    };
    for (;;) {
      int used = av_parser_parse2(parser, ctx, &pkt->data, &pkt->size, data, left,
                                  AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
      if (used < 0) {
        failed = true;
        break;
      }
      data += used;
      left -= used;
      if (pkt->size > 0) {
        r.frames++;
        if (avcodec_send_packet(ctx, pkt) < 0) {
          failed = true;
          break;
        }
        drain();
      } else if (left == 0) {
        if (used == 0) break;
      }
    }
    avcodec_send_packet(ctx, nullptr);
    drain();
    r.ok = !failed;
    if (failed) r.error = "FFmpeg refused the stream";
  }
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&ctx);
  if (parser) av_parser_close(parser);
  return r;
}

}  // namespace aac_test
