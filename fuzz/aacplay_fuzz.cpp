// Feeds arbitrary bytes to aacplay as its ADTS input file, through the
// program's own decode loop, with the decoded samples going to /dev/null.

#include <stdint.h>
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

#define main kep_aacplay_main
#include "aacplay.cpp"
#undef main

namespace {
int g_input_fd = -1;
char g_input_path[64];
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // The program's progress lines would drown the fuzzer's own report.
  if (!freopen("/dev/null", "w", stdout)) return 0;
  g_input_fd = memfd_create("aacplay-input", 0);
  snprintf(g_input_path, sizeof g_input_path, "/proc/self/fd/%d", g_input_fd);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (g_input_fd < 0) return 0;
  if (ftruncate(g_input_fd, 0) != 0) return 0;
  if (size > 0 && pwrite(g_input_fd, data, size, 0) != (ssize_t)size) return 0;
  char prog[] = "aacplay", mode[] = "-f", out[] = "/dev/null";
  char *argv[] = {prog, mode, g_input_path, out, nullptr};
  kep_aacplay_main(4, argv);
  return 0;
}
