// Buffer tables: the zero-filled kep_buffer arrays the library builds for a
// queue. Past its last entry each table carries a marker entry and the
// library's book of the table's buffers, so that
// - a table is released by the count it was built with, whatever
//   m2m_buffers says by then (kep_dec_start may change it);
// - the library knows at every moment where each buffer is (with its driver,
//   with the caller, lent to the encoder) without fields the record does not
//   have, and so never queues a buffer twice nor loses one after a failed
//   request.
// A table stays one plain allocation starting at entry 0, so a caller that
// frees it itself (the encoder's tables) frees it whole.
#ifndef KEP_VC_BUFFER_TABLE_H
#define KEP_VC_BUFFER_TABLE_H

#include "kep_vc.h"

#include <stdint.h>

namespace kep {

// Where one buffer is; a buffer with none of these is held by the library.
enum : uint8_t {
    BUF_QUEUED = 1, // with its own driver (queued, or done and not dequeued)
    BUF_CALLER = 2, // with the caller, between a read and its reset
    BUF_LENT = 4,   // queued on the encoder's input, which reads it in place
};

struct TableBook {
    uint32_t count; // entries built
    uint32_t flags; // the owner's own (see the users)
    uint32_t value; // likewise
    uint32_t reserved;
    // count state bytes follow (at least one).
};

// A zero-filled table of count entries with its book (all buffers held by
// the library); null when there is no memory.
kep_buffer *table_new(uint32_t count);

// The book of a table the library built, or null (no table).
TableBook *table_book(kep_buffer *table);

// Entries of a table as built; 0 for no table.
uint32_t table_count(kep_buffer *table);

// State byte of buffer i, or null when i lies outside the table.
uint8_t *table_state(kep_buffer *table, uint32_t i);

} // namespace kep

#endif
