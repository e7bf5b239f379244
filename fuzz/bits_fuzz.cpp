// Fuzz target for the exported bit reader: a sequence of reads chosen by the
// input over a field of the input's own bytes, checked bit for bit against a
// plain reader, never leaving the field.
#include "kep_vc.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

[[noreturn]] void fail(const char *what)
{
    fprintf(stderr, "fuzz_bits: %s\n", what);
    abort();
}

struct Plain {
    const uint8_t *data;
    size_t size;
    size_t bit = 0;
    uint32_t take(int n)
    {
        uint64_t v = 0;
        for (int i = 0; i < n; i++) {
            unsigned b = 0;
            if (bit / 8 < size) {
                b = (data[bit / 8] >> (7 - bit % 8)) & 1u;
                bit++;
            }
            v = v << 1 | b;
        }
        return (uint32_t)v;
    }
    uint32_t ue()
    {
        uint32_t zeros = 0;
        while (take(1) == 0)
            if (++zeros == 32)
                return UINT32_MAX;
        return take((int)zeros) + ((1u << zeros) - 1u);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // First byte: number of operation bytes that follow; the rest is the field.
    size_t ops = data[0] % 64;
    if (ops > size - 1)
        ops = size - 1;
    const uint8_t *op = data + 1;
    size_t field_size = size - 1 - ops;
    uint8_t *field = (uint8_t *)malloc(field_size ? field_size : 1);
    if (field_size)
        memcpy(field, data + 1 + ops, field_size);

    bits_handler h;
    bits_handler_init(&h, field, (uint32_t)field_size);
    Plain plain{field, field_size};
    for (size_t i = 0; i < ops; i++) {
        uint32_t got, want;
        if (op[i] >= 0xC0) {
            got = ue_exp_golomb(&h);
            want = plain.ue();
        } else {
            int n = op[i] % 33;
            got = read_bits(&h, n);
            want = plain.take(n);
        }
        if (got != want)
            fail("bit reader differs from the plain reader");
        if (field_size && (h.cursor < field || h.cursor >= field + field_size))
            fail("cursor left the field");
        if (h.bit_position > 8)
            fail("bit position out of range");
    }
    free(field);
    return 0;
}
