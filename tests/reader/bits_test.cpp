// The exported MSB-first bit reader and unsigned Exp-Golomb decoding.
#include "kep_vc.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <random>
#include <vector>

namespace {

// Heap copy of exactly the given bytes: a read past them is a sanitizer error.
struct Data {
    explicit Data(std::vector<uint8_t> b) : size((uint32_t)b.size())
    {
        bytes = (uint8_t *)malloc(b.empty() ? 1 : b.size());
        if (!b.empty())
            memcpy(bytes, b.data(), b.size());
    }
    ~Data() { free(bytes); }
    uint8_t *bytes;
    uint32_t size;
};

uint32_t slow_bits(const std::vector<uint8_t> &d, size_t bit, int n)
{
    uint64_t v = 0;
    for (int i = 0; i < n; i++, bit++) {
        unsigned b = bit / 8 < d.size() ? (d[bit / 8] >> (7 - bit % 8)) & 1u : 0u;
        v = v << 1 | b;
    }
    return (uint32_t)v;
}

TEST(BitReader, InitSetsCursorStartSizeAndPosition)
{
    uint8_t data[4] = {1, 2, 3, 4};
    bits_handler h;
    memset(&h, 0x5A, sizeof h);
    EXPECT_EQ(bits_handler_init(&h, data, 4), &h);
    EXPECT_EQ(h.cursor, data);
    EXPECT_EQ(h.start, data);
    EXPECT_EQ(h.size, 4u);
    EXPECT_EQ(h.bit_position, 0u);
}

TEST(BitReader, ExpGolombDecodesTheFirstCodes)
{
    // 1 010 011 00100, then padding ones.
    Data d({0xA6, 0x4F});
    bits_handler h;
    bits_handler_init(&h, d.bytes, d.size);
    EXPECT_EQ(ue_exp_golomb(&h), 0u);
    EXPECT_EQ(ue_exp_golomb(&h), 1u);
    EXPECT_EQ(ue_exp_golomb(&h), 2u);
    EXPECT_EQ(ue_exp_golomb(&h), 3u);
}

TEST(BitReader, ReadsFieldsSpanningBytesFromEveryBitPosition)
{
    std::vector<uint8_t> bytes = {0x9C, 0x3A, 0xF1, 0x07, 0xE5, 0x6B, 0xD2, 0x48, 0x1F};
    Data d(bytes);
    for (int skip = 0; skip < 8; skip++) {
        for (int n = 0; n <= 32; n++) {
            bits_handler h;
            bits_handler_init(&h, d.bytes, d.size);
            read_bits(&h, skip);
            EXPECT_EQ(read_bits(&h, n), slow_bits(bytes, (size_t)skip, n)) << "skip " << skip << " n " << n;
            // A second field continues where the first ended.
            EXPECT_EQ(read_bits(&h, 7), slow_bits(bytes, (size_t)(skip + n), 7)) << "skip " << skip << " n " << n;
        }
    }
}

TEST(BitReader, ReadEndingAtAByteEndLeavesTheCursorOnThatByte)
{
    Data d({0xF0, 0x0F, 0xAA});
    bits_handler h;
    bits_handler_init(&h, d.bytes, d.size);
    EXPECT_EQ(read_bits(&h, 4), 0xFu);
    EXPECT_EQ(read_bits(&h, 4), 0x0u);
    EXPECT_EQ(h.cursor, d.bytes);
    EXPECT_EQ(h.bit_position, 8u);
    EXPECT_EQ(read_bits(&h, 12), 0x0FAu);
    EXPECT_EQ(h.cursor, d.bytes + 2);
    EXPECT_EQ(h.bit_position, 4u);
}

TEST(BitReader, ReadsPastTheSizeGiveZerosWithoutLeavingTheData)
{
    Data d({0xFF, 0x81});
    bits_handler h;
    bits_handler_init(&h, d.bytes, d.size);
    EXPECT_EQ(read_bits(&h, 12), 0xFF8u);
    EXPECT_EQ(read_bits(&h, 32), 0x10000000u); // 4 real bits, then zeros
    EXPECT_EQ(read_bits(&h, 32), 0u);
    EXPECT_EQ(h.cursor, d.bytes + 1);
}

TEST(BitReader, ZeroSizeReadsNothing)
{
    Data d({});
    bits_handler h;
    bits_handler_init(&h, d.bytes, 0);
    EXPECT_EQ(read_bits(&h, 32), 0u);
    EXPECT_EQ(ue_exp_golomb(&h), UINT32_MAX);
}

TEST(BitReader, ExpGolombWith31LeadingZerosIsTheLargestValue)
{
    // 31 zeros, a one, then 31 ones.
    Data d({0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFE});
    bits_handler h;
    bits_handler_init(&h, d.bytes, d.size);
    EXPECT_EQ(ue_exp_golomb(&h), 0xFFFFFFFEu);
}

TEST(BitReader, ExpGolombWith32OrMoreLeadingZerosIsReportedAsAllOnes)
{
    Data d({0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x12, 0x34});
    bits_handler h;
    bits_handler_init(&h, d.bytes, d.size);
    EXPECT_EQ(ue_exp_golomb(&h), UINT32_MAX);

    // Running out of data while counting zeros stays inside the data.
    Data z({0x00, 0x00});
    bits_handler_init(&h, z.bytes, z.size);
    EXPECT_EQ(ue_exp_golomb(&h), UINT32_MAX);
}

// Exp-Golomb codes counted a byte at a time must leave the handler exactly
// where counting one bit at a time does, and give the same values, at every
// bit position, with zero runs long and short, and at the end of the data.
TEST(BitReader, ExpGolombLeavesTheHandlerWhereBitByBitCountingDoes)
{
    std::mt19937 rng(33);
    for (int round = 0; round < 4000; round++) {
        std::vector<uint8_t> bytes(rng() % 12);
        for (uint8_t &b : bytes)
            b = rng() % 3 == 0 ? (uint8_t)rng() : rng() % 2 ? 0 : (uint8_t)(1u << (rng() % 8));
        Data d(bytes);
        bits_handler fast, slow;
        bits_handler_init(&fast, d.bytes, d.size);
        bits_handler_init(&slow, d.bytes, d.size);
        for (int op = 0; op < 8; op++) {
            if (rng() % 3 == 0) {
                int n = (int)(rng() % 12);
                ASSERT_EQ(read_bits(&fast, n), read_bits(&slow, n));
                continue;
            }
            uint32_t zeros = 0, want;
            while (read_bits(&slow, 1) == 0 && ++zeros < 32) {
            }
            want = zeros == 32 ? UINT32_MAX : read_bits(&slow, (int)zeros) + ((1u << zeros) - 1u);
            ASSERT_EQ(ue_exp_golomb(&fast), want) << "round " << round << " op " << op;
            ASSERT_EQ(fast.cursor, slow.cursor) << "round " << round << " op " << op;
            ASSERT_EQ(fast.bit_position, slow.bit_position) << "round " << round << " op " << op;
        }
    }
}

TEST(BitReaderDeath, MoreThan32BitsFailsTheAssertion)
{
    uint8_t data[8] = {};
    bits_handler h;
    bits_handler_init(&h, data, sizeof data);
    EXPECT_DEATH(read_bits(&h, 33), "kep_vc_lib:[0-9]+: read_bits: Assertion `bits < 33' failed");
    EXPECT_DEATH(read_bits(&h, -1), "Assertion `bits < 33' failed");
}

} // namespace
