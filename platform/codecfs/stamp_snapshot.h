// A text snapshot of a decoded stamp, so that a process other than the file
// system (the virtual encoder) can draw the stamp: codecfs serves it as
// "<channel>/.stamp", the encoder reads it back with read_snapshot.
#ifndef CODECFS_STAMP_SNAPSHOT_H
#define CODECFS_STAMP_SNAPSHOT_H

#include "stamp.h"

#include <stddef.h>

namespace codecfs {

// Bytes needed for the snapshot of s, without the NUL.
size_t snapshot_size(const Stamp &s);

// Writes the snapshot (NUL-terminated when there is room); returns its length.
size_t write_snapshot(const Stamp &s, char *out, size_t cap);

// Fills s from a snapshot text of len bytes; false when it is not one (s is
// then unchanged). The raw "ds_datastamp" text is not part of a snapshot.
bool read_snapshot(const char *text, size_t len, Stamp &s);

} // namespace codecfs

#endif
