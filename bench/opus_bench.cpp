// opuspack and opusplay against a bare libopus loop on the same data, with
// opusenc/opusdec (opus-tools) as a peer, all timed in the same run.
//
//   build/bench/opus_bench [seconds of audio, default 180] [rounds, default 5]
//
// Every contender runs as its own process (the bare loop is this program
// re-run with --bare-encode/--bare-decode), so start-up, file reading and
// writing are paid alike. CPU time (user + system of the child) is the
// measure, because wall time on a shared machine mostly measures the others;
// the best of the rounds is kept. Prints the ratios and the real-time factor.
#include <errno.h>
#include <math.h>
#include <opus.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const int rate = 16000;
const int frame = 320;  // 20 ms
const int bit_rate = 24000;
const int complexity = 5;

struct timing {
  double cpu = 1e30;
  double wall = 1e30;
};

double now()
{
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Runs argv with standard output and error discarded; keeps the best times.
bool run_timed(const std::vector<std::string> &args, timing &best)
{
  double start = now();
  pid_t pid = fork();
  if (pid == 0) {
    if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr))
      _exit(126);
    std::vector<char *> argv;
    for (const std::string &a : args)
      argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage ru;
  if (wait4(pid, &status, 0, &ru) < 0)
    return false;
  double wall = now() - start;
  double cpu = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "%s failed (status %d)\n", args[0].c_str(), status);
    return false;
  }
  if (cpu < best.cpu)
    best.cpu = cpu;
  if (wall < best.wall)
    best.wall = wall;
  return true;
}

// Voiced, speech-like audio: formant-shaped harmonics of a gliding pitch in
// syllable-length bursts.
bool write_signal(const char *path, double seconds)
{
  FILE *f = fopen(path, "wb");
  if (!f)
    return false;
  size_t count = static_cast<size_t>(rate * seconds);
  double phase = 0;
  for (size_t n = 0; n < count; n++) {
    double t = static_cast<double>(n) / rate;
    double pitch = 140 + 40 * sin(2 * M_PI * 0.7 * t);
    phase += 2 * M_PI * pitch / rate;
    double v = 0;
    for (int h = 1; h * pitch < 3400; h++) {
      double fh = h * pitch;
      v += (1 / (1 + pow((fh - 700) / 250, 2)) + 0.6 / (1 + pow((fh - 1200) / 300, 2))) * sin(h * phase);
    }
    v *= 0.55 + 0.45 * sin(2 * M_PI * 3.0 * t);
    int16_t s = static_cast<int16_t>(lrint(6000 * v));
    unsigned char b[2] = {static_cast<unsigned char>(s), static_cast<unsigned char>(static_cast<uint16_t>(s) >> 8)};
    fwrite(b, 1, 2, f);
  }
  return fclose(f) == 0;
}

// The bare loop: the same libopus calls and settings as opuspack, nothing else.
int bare_encode(const char *in_path, const char *out_path)
{
  FILE *in = fopen(in_path, "rb");
  FILE *out = fopen(out_path, "wb");
  int err;
  OpusEncoder *enc = opus_encoder_create(rate, 1, OPUS_APPLICATION_VOIP, &err);
  if (!in || !out || !enc)
    return 1;
  opus_encoder_ctl(enc, OPUS_SET_BITRATE(bit_rate));
  opus_encoder_ctl(enc, OPUS_SET_BANDWIDTH(OPUS_BANDWIDTH_WIDEBAND));
  opus_encoder_ctl(enc, OPUS_SET_VBR(1));
  opus_encoder_ctl(enc, OPUS_SET_COMPLEXITY(complexity));
  opus_int16 pcm[frame];
  unsigned char packet[2 * frame];
  while (fread(pcm, 2, frame, in) == static_cast<size_t>(frame)) {
    opus_int32 len = opus_encode(enc, pcm, frame, packet, sizeof packet);
    if (len < 0)
      return 1;
    unsigned char field[4] = {static_cast<unsigned char>(len), static_cast<unsigned char>(len >> 8), 0, 0};
    fwrite(field, 1, 4, out);
    fwrite(packet, 1, static_cast<size_t>(len), out);
  }
  opus_encoder_destroy(enc);
  fclose(in);
  return fclose(out) == 0 ? 0 : 1;
}

// The bare loop: the same libopus calls as opusplay, nothing else.
int bare_decode(const char *in_path, const char *out_path)
{
  FILE *in = fopen(in_path, "rb");
  FILE *out = fopen(out_path, "wb");
  int err;
  OpusDecoder *dec = opus_decoder_create(rate, 1, &err);
  if (!in || !out || !dec)
    return 1;
  const int room = rate * 3 / 25;
  std::vector<opus_int16> pcm(room);
  std::vector<unsigned char> packet(2 * room);
  unsigned char field[4];
  while (fread(field, 1, 4, in) == 4) {
    int len = field[0] | field[1] << 8 | field[2] << 16 | field[3] << 24;
    if (len < 0 || len > static_cast<int>(packet.size()) || fread(packet.data(), 1, len, in) != static_cast<size_t>(len))
      return 1;
    int n = opus_decode(dec, packet.data(), len, pcm.data(), room, 0);
    if (n < 0)
      return 1;
    fwrite(pcm.data(), 2, static_cast<size_t>(n), out);
  }
  opus_decoder_destroy(dec);
  fclose(in);
  return fclose(out) == 0 ? 0 : 1;
}

bool have_program(const char *name)
{
  std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
  return system(cmd.c_str()) == 0;
}

}  // namespace

int main(int argc, char **argv)
{
  if (argc == 4 && strcmp(argv[1], "--bare-encode") == 0)
    return bare_encode(argv[2], argv[3]);
  if (argc == 4 && strcmp(argv[1], "--bare-decode") == 0)
    return bare_decode(argv[2], argv[3]);

  const double seconds = argc > 1 ? atof(argv[1]) : 180;
  const int rounds = argc > 2 ? atoi(argv[2]) : 5;
  char dir_template[] = "/tmp/kep-opus-bench-XXXXXX";
  if (!mkdtemp(dir_template)) {
    perror("mkdtemp");
    return 1;
  }
  const std::string dir = dir_template;
  const std::string pcm = dir + "/in.raw";
  if (!write_signal(pcm.c_str(), seconds)) {
    fprintf(stderr, "cannot write %s\n", pcm.c_str());
    return 1;
  }
  const std::string bin = KEP_BIN_DIR;
  const std::string self = argv[0];
  const std::string r = std::to_string(rate);
  const bool peer = have_program("opusenc") && have_program("opusdec");

  timing tool_enc, bare_enc, peer_enc, tool_dec, bare_dec, peer_dec;
  bool ok = true;
  // Rounds interleave the contenders so that a slow spell of the machine
  // hits them alike.
  for (int i = 0; i < rounds && ok; i++) {
    ok &= run_timed({bin + "/opuspack", "-f", r, std::to_string(bit_rate), std::to_string(frame),
                     std::to_string(complexity), "1", pcm, dir + "/tool.opf"}, tool_enc);
    ok &= run_timed({self, "--bare-encode", pcm, dir + "/bare.opf"}, bare_enc);
    ok &= run_timed({bin + "/opusplay", "-f", r, dir + "/tool.opf", dir + "/tool.raw"}, tool_dec);
    ok &= run_timed({self, "--bare-decode", dir + "/bare.opf", dir + "/bare.raw"}, bare_dec);
    if (peer) {
      ok &= run_timed({"opusenc", "--quiet", "--raw", "--raw-rate", r, "--raw-chan", "1", "--bitrate",
                       std::to_string(bit_rate / 1000), "--framesize", "20", "--comp", std::to_string(complexity),
                       "--vbr", pcm, dir + "/peer.opus"}, peer_enc);
      ok &= run_timed({"opusdec", "--quiet", "--rate", r, dir + "/peer.opus", dir + "/peer.raw"}, peer_dec);
    }
  }
  std::string cleanup = "rm -rf '" + dir + "'";
  if (system(cleanup.c_str()) != 0)
    fprintf(stderr, "could not remove %s\n", dir.c_str());
  if (!ok)
    return 1;

  printf("opus tools, %.0f s of 16 kHz mono speech-like audio, %d kbit/s, 20 ms blocks, best of %d rounds\n",
         seconds, bit_rate / 1000, rounds);
  printf("%-10s %10s %10s %10s %10s %12s %12s\n", "", "tool cpu", "bare cpu", "peer cpu", "tool wall", "tool/bare",
         "tool/peer");
  struct {
    const char *name;
    timing *tool, *bare, *peer;
  } rows[] = {{"encode", &tool_enc, &bare_enc, &peer_enc}, {"decode", &tool_dec, &bare_dec, &peer_dec}};
  for (const auto &row : rows) {
    printf("%-10s %9.3fs %9.3fs", row.name, row.tool->cpu, row.bare->cpu);
    if (peer)
      printf(" %9.3fs", row.peer->cpu);
    else
      printf(" %10s", "n/a");
    printf(" %9.3fs %12.3f", row.tool->wall, row.tool->cpu / row.bare->cpu);
    if (peer)
      printf(" %12.3f", row.tool->cpu / row.peer->cpu);
    else
      printf(" %12s", "n/a");
    printf("\n");
  }
  printf("real-time factor (audio time / tool cpu time): encode %.0fx, decode %.0fx\n", seconds / tool_enc.cpu,
         seconds / tool_dec.cpu);
  printf("target: tool/bare within 1.03: encode %s, decode %s\n",
         tool_enc.cpu / bare_enc.cpu <= 1.03 ? "met" : "MISSED", tool_dec.cpu / bare_dec.cpu <= 1.03 ? "met" : "MISSED");
  return 0;
}
