// Internal helpers of the datastamp sources: driver file paths and opening,
// and the limits of the texts written to "ds_datastamp".
#ifndef KEP_CDS_INTERNAL_H
#define KEP_CDS_INTERNAL_H

#include "kep_vc.h"

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

namespace kep {

// The driver file paths are formed in a buffer of this size.
constexpr size_t kCdsPathSize = 256;

// Each text-stamp write to "ds_datastamp" is a block of this many bytes: the
// block text, then zero bytes.
constexpr size_t kCdsTextBlock = 1024;

// Largest accepted stamp picture, in 32-bit bitmap words.
constexpr int32_t kBmpMaxWords = 1280;

// Joins dir and name with a slash into path. Returns false, leaving path
// empty, when the result would not fit the 256-byte buffer: such a path is
// never truncated into the name of some other file.
bool cds_path(char (&path)[kCdsPathSize], const char *dir, const char *name);

// Opens dir/name with mode. On failure prints "open <dir>/<name> failed.\n"
// (unless quiet) and returns NULL. A joined path beyond 255 characters is
// treated as a file that cannot be opened.
FILE *cds_open(const char *dir, const char *name, const char *mode, bool quiet = false);

// Opens dir/name for a setting as mode "w" would (created, emptied) and
// returns the descriptor; on failure prints "open <dir>/<name> failed.\n"
// (unless quiet) and returns -1.
int cds_open_setting(const char *dir, const char *name, bool quiet = false);

// Writes one whole setting with a single write() and closes the descriptor:
// the driver takes each write as one complete setting, so a setting split
// over two writes (as stdio splits a long text) would be two broken ones.
void cds_write_setting(int fd, const void *data, size_t len);

// Appends the text form of one block (eight words, "0x%x " each) to text,
// which holds len characters and has room for cap bytes including the NUL.
// Returns the new length, or 0 when the block does not fit (text unchanged).
size_t cds_append_block(char *text, size_t len, size_t cap, const uint32_t words[8]);

} // namespace kep

#endif
