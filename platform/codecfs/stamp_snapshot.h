// A text snapshot of a decoded stamp, so that a process other than the file
// system (the virtual encoder) can draw the stamp: codecfs serves it as
// "<channel>/.stamp", the encoder reads it back with read_snapshot.
#ifndef CODECFS_STAMP_SNAPSHOT_H
#define CODECFS_STAMP_SNAPSHOT_H

#include "stamp.h"

#include <stddef.h>
#include <stdint.h>

namespace codecfs {

// Bytes needed for the snapshot of s, without the NUL.
size_t snapshot_size(const Stamp &s);

// Writes the snapshot (NUL-terminated when there is room); returns its length.
size_t write_snapshot(const Stamp &s, char *out, size_t cap);

// Fills s from a snapshot text of len bytes; false when it is not one (s is
// then unchanged). The raw "ds_datastamp" text is not part of a snapshot.
bool read_snapshot(const char *text, size_t len, Stamp &s);

// What an encoder does before encoding each picture: reads the snapshot file
// (codecfs's "<mount>/<channel>/.stamp") and draws the stamp into the 'S420'
// picture. Returns 0, or -1 when the file cannot be read or is no snapshot
// (the picture is then unchanged).
int draw_from_snapshot_file(const char *path, uint8_t *picture, unsigned width, unsigned height);

} // namespace codecfs

#endif
