// The virtual codec driver's parsing of datastamp file writes and of stamp
// snapshots, and the drawing of whatever stamp results.
#include "stamp.h"
#include "stamp_snapshot.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static codecfs::Stamp *stamp = static_cast<codecfs::Stamp *>(calloc(1, sizeof(codecfs::Stamp)));
    static uint8_t picture[64 * 48 * 3 / 2];
    if (size == 0)
        return 0;
    // First byte: which file, or 7 for a snapshot; the rest is its text.
    const char *text = reinterpret_cast<const char *>(data + 1);
    size_t len = size - 1;
    int which = data[0] % 8;
    memset(stamp, 0, sizeof *stamp);
    if (which == 7) {
        codecfs::read_snapshot(text, len, *stamp);
    } else {
        codecfs::apply(*stamp, static_cast<codecfs::DsFile>(which), text, len);
        char out[256];
        codecfs::answer(*stamp, static_cast<codecfs::DsFile>(which), out, sizeof out);
        // Settings that describe a visible stamp so the drawing runs.
        stamp->enable = 1;
        stamp->dim[0] = stamp->dim[0] ? stamp->dim[0] : 2;
        stamp->dim[1] = stamp->dim[1] ? stamp->dim[1] : 1;
    }
    codecfs::draw_s420(*stamp, picture, 64, 48);
    return 0;
}
