// Runs every file named on the command line (or found in a named folder)
// through a fuzz target once: the corpus check of builds without libFuzzer.

#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

int run_file(const char *path) {
  FILE *f = fopen(path, "rb");
  if (!f) {
    fprintf(stderr, "replay: cannot open %s\n", path);
    return 1;
  }
  fseek(f, 0, SEEK_END);
  long len = ftell(f);
  fseek(f, 0, SEEK_SET);
  // An exact-size heap copy, so that AddressSanitizer sees any read past it.
  uint8_t *data = (uint8_t *)malloc(len > 0 ? (size_t)len : 1);
  size_t got = len > 0 ? fread(data, 1, (size_t)len, f) : 0;
  fclose(f);
  LLVMFuzzerTestOneInput(data, got);
  free(data);
  return 0;
}

int run_path(const char *path, int *count) {
  struct stat st;
  if (stat(path, &st) != 0) {
    fprintf(stderr, "replay: cannot open %s\n", path);
    return 1;
  }
  if (!S_ISDIR(st.st_mode)) {
    ++*count;
    return run_file(path);
  }
  struct dirent **names;
  int n = scandir(path, &names, nullptr, alphasort);
  if (n < 0) return 1;
  int failed = 0;
  for (int i = 0; i < n; i++) {
    if (names[i]->d_name[0] != '.') {
      char child[4096];
      snprintf(child, sizeof child, "%s/%s", path, names[i]->d_name);
      failed |= run_path(child, count);
    }
    free(names[i]);
  }
  free(names);
  return failed;
}

}  // namespace

int main(int argc, char **argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  int failed = 0, count = 0;
  for (int i = 1; i < argc; i++) failed |= run_path(argv[i], &count);
  fprintf(stderr, "replay: %d inputs\n", count);
  return failed || count == 0;
}
