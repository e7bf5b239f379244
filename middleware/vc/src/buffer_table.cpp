#include "buffer_table.h"

#include <stdint.h>
#include <stdlib.h>

namespace kep {

namespace {

// The marker entry points at itself: no mapping or allocation of a buffer
// can start inside the table, so it cannot be mistaken for an entry.
bool is_marker(const kep_buffer *entry)
{
    return entry->start == static_cast<const void *>(entry);
}

kep_buffer *marker_of(kep_buffer *table)
{
    if (!table)
        return nullptr;
    uint32_t i = 0;
    while (!is_marker(&table[i]))
        ++i;
    return &table[i];
}

} // namespace

kep_buffer *table_new(uint32_t count)
{
    // Entries, the marker, the book and one state byte per buffer; the book
    // follows the entries, so it is aligned as they are.
    if (size_t(count) >= (SIZE_MAX - sizeof(TableBook)) / (sizeof(kep_buffer) + 1) - 2)
        return nullptr;
    size_t bytes = (size_t(count) + 1) * sizeof(kep_buffer) + sizeof(TableBook) + (count ? count : 1);
    kep_buffer *table = static_cast<kep_buffer *>(calloc(1, bytes));
    if (!table)
        return nullptr;
    table[count].start = &table[count];
    table[count].length = count;
    TableBook *book = reinterpret_cast<TableBook *>(&table[count + 1]);
    book->count = count;
    return table;
}

TableBook *table_book(kep_buffer *table)
{
    kep_buffer *marker = marker_of(table);
    return marker ? reinterpret_cast<TableBook *>(marker + 1) : nullptr;
}

uint32_t table_count(kep_buffer *table)
{
    TableBook *book = table_book(table);
    return book ? book->count : 0;
}

uint8_t *table_state(kep_buffer *table, uint32_t i)
{
    TableBook *book = table_book(table);
    if (!book || i >= book->count)
        return nullptr;
    return reinterpret_cast<uint8_t *>(book + 1) + i;
}

} // namespace kep
