#include "opus_test_support.h"

#include "child_capture.h"

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

namespace opus_test {

run_result run(const std::string &program, const std::vector<std::string> &args,
               const std::vector<std::string> &env)
{
  std::vector<std::string> argv{std::string(KEP_BUILD_DIR) + "/bin/" + program};
  argv.insert(argv.end(), args.begin(), args.end());
  kep_child::Captured c = kep_child::capture([&] { kep_child::exec_program(argv, env); });
  run_result r;
  if (!c.ran)
    return r;
  r.out = std::move(c.out);
  r.err = std::move(c.err);
  if (WIFEXITED(c.wait_status))
    r.status = WEXITSTATUS(c.wait_status);
  else if (WIFSIGNALED(c.wait_status))
    r.status = 1000 + WTERMSIG(c.wait_status);
  return r;
}

temp_dir::temp_dir()
{
  char tmpl[] = "/tmp/kep-opus-XXXXXX";
  const char *d = mkdtemp(tmpl);
  dir_ = d ? d : "/tmp";
}

temp_dir::~temp_dir()
{
  std::string cmd = "rm -rf '" + dir_ + "'";
  if (dir_ != "/tmp" && system(cmd.c_str()) != 0)
    fprintf(stderr, "could not remove %s\n", dir_.c_str());
}

std::string last_line(const std::string &text)
{
  if (text.empty())
    return text;
  size_t start = text.rfind('\n', text.size() - 2);
  return start == std::string::npos ? text : text.substr(start + 1);
}

bool file_exists(const std::string &path)
{
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::vector<uint8_t> read_bytes(const std::string &path)
{
  std::vector<uint8_t> bytes;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f)
    return bytes;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0)
    bytes.insert(bytes.end(), buf, buf + n);
  fclose(f);
  return bytes;
}

void write_bytes(const std::string &path, const std::vector<uint8_t> &bytes)
{
  FILE *f = fopen(path.c_str(), "wb");
  if (!f)
    return;
  if (!bytes.empty())
    fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

std::vector<uint8_t> to_bytes(const std::vector<int16_t> &samples)
{
  std::vector<uint8_t> bytes;
  bytes.reserve(samples.size() * 2);
  for (int16_t s : samples) {
    uint16_t u = static_cast<uint16_t>(s);
    bytes.push_back(static_cast<uint8_t>(u));
    bytes.push_back(static_cast<uint8_t>(u >> 8));
  }
  return bytes;
}

std::vector<int16_t> to_samples(const std::vector<uint8_t> &bytes)
{
  std::vector<int16_t> samples(bytes.size() / 2);
  for (size_t i = 0; i < samples.size(); i++)
    samples[i] = static_cast<int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  return samples;
}

std::vector<int16_t> speech_like(int rate, double seconds)
{
  const size_t count = static_cast<size_t>(rate * seconds);
  const double nyquist_margin = 0.45 * rate;
  std::vector<int16_t> out(count);
  double phase = 0;
  for (size_t n = 0; n < count; n++) {
    double t = static_cast<double>(n) / rate;
    double pitch = 140 + 40 * sin(2 * M_PI * 0.7 * t);  // gliding intonation
    phase += 2 * M_PI * pitch / rate;
    double v = 0;
    // Harmonics shaped by three vowel formants, the way a voice puts its
    // energy well above the pitch.
    for (int h = 1; h * pitch < nyquist_margin && h * pitch < 3400; h++) {
      double f = h * pitch;
      double a = 1 / (1 + pow((f - 700) / 250, 2)) + 0.6 / (1 + pow((f - 1200) / 300, 2)) +
                 0.3 / (1 + pow((f - 2500) / 400, 2));
      v += a * sin(h * phase);
    }
    double syllable = 0.55 + 0.45 * sin(2 * M_PI * 3.0 * t);  // about six syllables a second
    out[n] = static_cast<int16_t>(lrint(6000 * syllable * v));
  }
  return out;
}

double best_correlation(const std::vector<int16_t> &source, const std::vector<int16_t> &decoded, int max_lag)
{
  double best = -1;
  for (int lag = 0; lag <= max_lag; lag++) {
    if (decoded.size() <= static_cast<size_t>(lag))
      break;
    size_t n = std::min(source.size(), decoded.size() - lag);
    double sx = 0, sy = 0, sxy = 0;
    for (size_t i = 0; i < n; i++) {
      double x = source[i], y = decoded[i + lag];
      sx += x * x;
      sy += y * y;
      sxy += x * y;
    }
    if (sx > 0 && sy > 0)
      best = std::max(best, sxy / sqrt(sx * sy));
  }
  return best;
}

parsed_file parse_packet_file(const std::vector<uint8_t> &bytes)
{
  parsed_file f;
  size_t pos = 0;
  while (pos < bytes.size()) {
    if (bytes.size() - pos < 4) {
      f.complete = false;
      break;
    }
    uint32_t u = bytes[pos] | bytes[pos + 1] << 8 | bytes[pos + 2] << 16 | static_cast<uint32_t>(bytes[pos + 3]) << 24;
    int32_t len = static_cast<int32_t>(u);
    pos += 4;
    if (len < 0 || bytes.size() - pos < static_cast<size_t>(len)) {
      f.complete = false;
      break;
    }
    f.packets.emplace_back(bytes.begin() + pos, bytes.begin() + pos + len);
    pos += len;
  }
  return f;
}

void append_record(std::vector<uint8_t> &file, int32_t length, const std::vector<uint8_t> &payload)
{
  uint32_t u = static_cast<uint32_t>(length);
  for (int k = 0; k < 4; k++)
    file.push_back(static_cast<uint8_t>(u >> (8 * k)));
  file.insert(file.end(), payload.begin(), payload.end());
}

std::vector<int> numbered_values(const std::string &text, const std::string &label)
{
  std::vector<int> values;
  std::istringstream lines(text);
  std::string line;
  int expected = 0;
  while (std::getline(lines, line)) {
    std::string prefix = std::to_string(expected) + ":" + label;
    if (line.compare(0, prefix.size(), prefix) == 0) {
      values.push_back(atoi(line.c_str() + prefix.size()));
      expected++;
    }
  }
  return values;
}

int feed_fifo_in_pieces(const std::string &fifo, const std::vector<uint8_t> &bytes, size_t piece)
{
  pid_t pid = fork();
  if (pid != 0)
    return pid;
  signal(SIGPIPE, SIG_DFL);
  int fd = open(fifo.c_str(), O_WRONLY);
  if (fd < 0)
    _exit(2);
  for (size_t pos = 0; pos < bytes.size(); pos += piece) {
    size_t n = std::min(piece, bytes.size() - pos);
    if (write(fd, bytes.data() + pos, n) != static_cast<ssize_t>(n))
      _exit(3);
    usleep(200);  // let the reader catch up, so its reads come back short
  }
  close(fd);
  _exit(0);
}

int drain_fifo_in_pieces(const std::string &fifo, const std::string &file, size_t piece)
{
  pid_t pid = fork();
  if (pid != 0)
    return pid;
  int fd = open(fifo.c_str(), O_RDONLY);
  int out = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || out < 0)
    _exit(2);
  std::vector<uint8_t> buf(piece);
  for (;;) {
    ssize_t n = read(fd, buf.data(), piece);
    if (n == 0)
      break;
    if (n < 0 || write(out, buf.data(), static_cast<size_t>(n)) != n)
      _exit(3);
    usleep(200);  // a slow reader keeps the FIFO full, so writes come back short
  }
  close(out);
  _exit(0);
}

bool finish_helper(int pid)
{
  // A helper whose program never opened the other end of the FIFO would block
  // for ever: give it ten seconds, then end it and report the failure.
  int wstatus = 0;
  for (int waited_ms = 0;; waited_ms += 10) {
    pid_t r = waitpid(pid, &wstatus, WNOHANG);
    if (r == pid)
      return WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0;
    if (r < 0 && errno != EINTR)
      return false;
    if (waited_ms >= 10000) {
      kill(pid, SIGKILL);
      waitpid(pid, &wstatus, 0);
      return false;
    }
    usleep(10000);
  }
}

}  // namespace opus_test
