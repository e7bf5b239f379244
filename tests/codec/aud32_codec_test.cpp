// libkep_audio_aud32 in process: block sizes, bit rates and round-trip
// quality per format code, the block contract, the decoding gain and the
// refusals.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <vector>

#include "aud32_signal.h"
#include "kep_audio_aud32.h"

namespace {

struct FormatCase {
    int code;
    int rate_khz;
    int width;
    int kbps;
    double min_snr_db; // a little under what the codec measures
};

const FormatCase kCases[] = {
    {KEP_AUD32_FMT8_8KBPS, 8, 8, 8, 7.5},          {KEP_AUD32_FMT8_16KBPS, 8, 8, 16, 11.0},
    {KEP_AUD32_FMT16_8K_8KBPS, 8, 16, 8, 8.0},     {KEP_AUD32_FMT16_16K_16KBPS, 16, 16, 16, 12.0},
    {KEP_AUD32_FMT16_16K_24KBPS, 16, 16, 24, 16.5}, {KEP_AUD32_FMT16_16K_32KBPS, 16, 16, 32, 18.5},
    {KEP_AUD32_FMT16_32K_32KBPS, 32, 16, 32, 18.5}, {KEP_AUD32_FMT16_32K_48KBPS, 32, 16, 48, 23.0},
};

void PrintTo(const FormatCase &f, std::ostream *os) {
    *os << "code " << f.code;
}

// Raw PCM bytes of a signal in the format's sample width.
std::vector<uint8_t> to_pcm(const std::vector<int16_t> &x, int width) {
    std::vector<uint8_t> out(x.size() * (size_t)width / 8);
    for (size_t i = 0; i < x.size(); ++i) {
        if (width == 8) {
            out[i] = (uint8_t)(int8_t)(x[i] >> 8);
        } else {
            out[2 * i] = (uint8_t)(x[i] & 0xff);
            out[2 * i + 1] = (uint8_t)((x[i] >> 8) & 0xff);
        }
    }
    return out;
}

std::vector<int16_t> from_pcm(const std::vector<uint8_t> &b, int width) {
    std::vector<int16_t> out(b.size() * 8 / (size_t)width);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = width == 8 ? (int16_t)((int8_t)b[i] * 256)
                            : (int16_t)(uint16_t)(b[2 * i] | (b[2 * i + 1] << 8));
    return out;
}

// Runs whole buffers through a context one block per call, as the tool does.
std::vector<uint8_t> run_blocks(kep_aud32 *ctx, bool encode, const std::vector<uint8_t> &in) {
    const int in_block = encode ? ctx->pcm_size : ctx->coded_size;
    const int out_block = encode ? ctx->coded_size : ctx->pcm_size;
    std::vector<uint8_t> out;
    uint8_t buf[KEP_AUD32_MAX_BLOCK];
    for (size_t off = 0; off + (size_t)in_block <= in.size(); off += (size_t)in_block) {
        int produced = out_block;
        int taken = encode ? kep_aud32_encode(ctx, &in[off], buf, in_block, &produced)
                           : kep_aud32_decode(ctx, &in[off], buf, in_block, &produced);
        EXPECT_EQ(taken, in_block);
        EXPECT_EQ(produced, out_block);
        if (taken != in_block || produced != out_block)
            break;
        out.insert(out.end(), buf, buf + produced);
    }
    return out;
}

// Every test leaves the process-wide gain at unity.
class Aud32 : public ::testing::Test {
protected:
    void TearDown() override { kep_aud32_decode_gain(1); }
};

class Aud32Format : public ::testing::TestWithParam<FormatCase> {
protected:
    void TearDown() override { kep_aud32_decode_gain(1); }
};

TEST_P(Aud32Format, BlocksAreTenMillisecondsAtTheFormatsRates) {
    const FormatCase &f = GetParam();
    for (int dir : {KEP_AUD32_ENCODER, KEP_AUD32_DECODER}) {
        kep_aud32 *ctx = kep_aud32_open(dir, f.code);
        ASSERT_NE(ctx, nullptr) << "direction " << dir;
        EXPECT_EQ(ctx->format, f.code);
        EXPECT_EQ(ctx->pcm_size, f.rate_khz * 10 * f.width / 8);
        EXPECT_EQ(ctx->coded_size, f.kbps * 10 / 8);
        EXPECT_LE(ctx->pcm_size, KEP_AUD32_MAX_BLOCK);
        EXPECT_LE(ctx->coded_size, KEP_AUD32_MAX_BLOCK);
        kep_aud32_close(ctx);
    }
}

// Four seconds of the speech-like signal through encoder and decoder: the
// coded stream has exactly the format's bit rate, the decoded stream the
// source's length and a waveform close to it.
TEST_P(Aud32Format, RoundTripKeepsLengthBitRateAndWaveform) {
    const FormatCase &f = GetParam();
    const int rate = f.rate_khz * 1000, seconds = 4;
    std::vector<int16_t> src = aud32_test::speech_like(rate, rate * seconds);
    std::vector<uint8_t> pcm = to_pcm(src, f.width);

    kep_aud32 *enc = kep_aud32_open(KEP_AUD32_ENCODER, f.code);
    kep_aud32 *dec = kep_aud32_open(KEP_AUD32_DECODER, f.code);
    ASSERT_TRUE(enc && dec);
    std::vector<uint8_t> coded = run_blocks(enc, true, pcm);
    std::vector<uint8_t> decoded = run_blocks(dec, false, coded);
    kep_aud32_close(enc);
    kep_aud32_close(dec);

    EXPECT_EQ(coded.size(), (size_t)f.kbps * 1000 * seconds / 8) << "coded bytes for " << seconds
                                                                 << " s";
    ASSERT_EQ(decoded.size(), pcm.size());
    // The reference is the source as the format carries it (8-bit cut).
    std::vector<int16_t> ref = from_pcm(pcm, f.width);
    std::vector<int16_t> out = from_pcm(decoded, f.width);
    double snr = aud32_test::snr_db(ref, out);
    double corr = aud32_test::correlation(ref, out);
    printf("[ measured ] code %d: %.1f kbit/s, SNR %.2f dB, correlation %.4f\n", f.code,
           coded.size() * 8.0 / seconds / 1000.0, snr, corr);
    EXPECT_GE(snr, f.min_snr_db);
    EXPECT_GE(corr, 0.92);
}

// A stream split into blocks decodes exactly like one call over all of it:
// the codec state carries over from block to block, and nothing else does.
TEST_P(Aud32Format, OneCallAndBlockByBlockCodeAlike) {
    const FormatCase &f = GetParam();
    std::vector<uint8_t> pcm = to_pcm(aud32_test::speech_like(f.rate_khz * 1000, 4000), f.width);
    kep_aud32 *a = kep_aud32_open(KEP_AUD32_ENCODER, f.code);
    kep_aud32 *b = kep_aud32_open(KEP_AUD32_ENCODER, f.code);
    ASSERT_TRUE(a && b);
    std::vector<uint8_t> blockwise = run_blocks(a, true, pcm);

    const int blocks = KEP_AUD32_MAX_BLOCK / b->pcm_size;
    std::vector<uint8_t> whole;
    std::vector<uint8_t> buf(blocks * (size_t)b->coded_size);
    for (size_t off = 0; off + (size_t)b->pcm_size <= pcm.size();) {
        int n = (int)(pcm.size() - off);
        if (n > blocks * b->pcm_size)
            n = blocks * b->pcm_size;
        int produced = (int)buf.size();
        int taken = kep_aud32_encode(b, &pcm[off], buf.data(), n, &produced);
        ASSERT_GT(taken, 0);
        whole.insert(whole.end(), buf.begin(), buf.begin() + produced);
        off += (size_t)taken;
    }
    EXPECT_EQ(whole, blockwise);
    kep_aud32_close(a);
    kep_aud32_close(b);
}

INSTANTIATE_TEST_SUITE_P(AllFormats, Aud32Format, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FormatCase> &i) {
                             return "code" + std::to_string(i.param.code);
                         });

TEST_F(Aud32, UnknownFormatOrDirectionOpensNothing) {
    for (int code : {-1, 1, 48, 56, 64})
        EXPECT_EQ(kep_aud32_open(KEP_AUD32_ENCODER, code), nullptr) << "code " << code;
    EXPECT_EQ(kep_aud32_open(0, KEP_AUD32_FMT16_32K_32KBPS), nullptr);
    EXPECT_EQ(kep_aud32_open(3, KEP_AUD32_FMT16_32K_32KBPS), nullptr);
    kep_aud32_close(nullptr);
}

// Input bytes past the last whole block are left for the caller.
TEST_F(Aud32, EncodeTakesWholeBlocksOnly) {
    kep_aud32 *ctx = kep_aud32_open(KEP_AUD32_ENCODER, KEP_AUD32_FMT16_16K_16KBPS);
    ASSERT_NE(ctx, nullptr);
    std::vector<uint8_t> pcm(ctx->pcm_size * 3 / 2, 0x11);
    uint8_t out[KEP_AUD32_MAX_BLOCK];
    int produced = KEP_AUD32_MAX_BLOCK;
    EXPECT_EQ(kep_aud32_encode(ctx, pcm.data(), out, (int)pcm.size(), &produced), ctx->pcm_size);
    EXPECT_EQ(produced, ctx->coded_size);

    produced = KEP_AUD32_MAX_BLOCK;
    EXPECT_EQ(kep_aud32_encode(ctx, pcm.data(), out, ctx->pcm_size - 1, &produced), 0);
    EXPECT_EQ(produced, 0);
    kep_aud32_close(ctx);
}

// The output count bounds what is written: no byte past it is touched.
TEST_F(Aud32, OutputRoomLimitsTheBlocksCoded) {
    kep_aud32 *enc = kep_aud32_open(KEP_AUD32_ENCODER, KEP_AUD32_FMT16_8K_8KBPS);
    kep_aud32 *dec = kep_aud32_open(KEP_AUD32_DECODER, KEP_AUD32_FMT16_8K_8KBPS);
    ASSERT_TRUE(enc && dec);
    std::vector<uint8_t> pcm = to_pcm(aud32_test::speech_like(8000, 320), 16);
    std::vector<uint8_t> out(3 * (size_t)enc->coded_size, 0xA5);
    int produced = 2 * enc->coded_size + enc->coded_size / 2;
    EXPECT_EQ(kep_aud32_encode(enc, pcm.data(), out.data(), (int)pcm.size(), &produced),
              2 * enc->pcm_size);
    EXPECT_EQ(produced, 2 * enc->coded_size);
    for (size_t i = 2 * (size_t)enc->coded_size; i < out.size(); ++i)
        ASSERT_EQ(out[i], 0xA5) << "byte " << i << " written past the room given";

    std::vector<uint8_t> back(2 * (size_t)dec->pcm_size, 0x5A);
    produced = dec->pcm_size + 1;
    EXPECT_EQ(kep_aud32_decode(dec, out.data(), back.data(), 2 * dec->coded_size, &produced),
              dec->coded_size);
    EXPECT_EQ(produced, dec->pcm_size);
    for (size_t i = (size_t)dec->pcm_size; i < back.size(); ++i)
        ASSERT_EQ(back[i], 0x5A) << "byte " << i << " written past the room given";
    kep_aud32_close(enc);
    kep_aud32_close(dec);
}

TEST_F(Aud32, WrongDirectionNullsAndNegativeSizesAreRefused) {
    kep_aud32 *enc = kep_aud32_open(KEP_AUD32_ENCODER, KEP_AUD32_FMT8_8KBPS);
    kep_aud32 *dec = kep_aud32_open(KEP_AUD32_DECODER, KEP_AUD32_FMT8_8KBPS);
    ASSERT_TRUE(enc && dec);
    uint8_t in[KEP_AUD32_MAX_BLOCK] = {}, out[KEP_AUD32_MAX_BLOCK];
    int produced = 99;
    EXPECT_EQ(kep_aud32_decode(enc, in, out, enc->coded_size, &produced), -1);
    EXPECT_EQ(produced, 0);
    produced = 99;
    EXPECT_EQ(kep_aud32_encode(dec, in, out, dec->pcm_size, &produced), -1);
    EXPECT_EQ(produced, 0);
    produced = 99;
    EXPECT_EQ(kep_aud32_encode(nullptr, in, out, 80, &produced), -1);
    EXPECT_EQ(produced, 0);
    produced = 99;
    EXPECT_EQ(kep_aud32_encode(enc, nullptr, out, 80, &produced), -1);
    produced = 99;
    EXPECT_EQ(kep_aud32_encode(enc, in, nullptr, 80, &produced), -1);
    produced = 99;
    EXPECT_EQ(kep_aud32_encode(enc, in, out, -80, &produced), -1);
    EXPECT_EQ(produced, 0);
    produced = -1;
    EXPECT_EQ(kep_aud32_decode(dec, in, out, 10, &produced), -1);
    EXPECT_EQ(kep_aud32_encode(enc, in, out, 80, nullptr), -1);
    kep_aud32_close(enc);
    kep_aud32_close(dec);
}

// Decodes a fixed coded stream with the gain in force.
std::vector<int16_t> decode_with_gain(const std::vector<uint8_t> &coded, int16_t gain) {
    kep_aud32_decode_gain(gain);
    kep_aud32 *dec = kep_aud32_open(KEP_AUD32_DECODER, KEP_AUD32_FMT16_16K_32KBPS);
    std::vector<int16_t> out = from_pcm(run_blocks(dec, false, coded), 16);
    kep_aud32_close(dec);
    return out;
}

TEST_F(Aud32, GainScalesDecodingWithSaturationAndZeroMutes) {
    kep_aud32 *enc = kep_aud32_open(KEP_AUD32_ENCODER, KEP_AUD32_FMT16_16K_32KBPS);
    ASSERT_NE(enc, nullptr);
    std::vector<uint8_t> coded =
        run_blocks(enc, true, to_pcm(aud32_test::speech_like(16000, 16000, 12000.0), 16));
    kep_aud32_close(enc);

    std::vector<int16_t> unity = decode_with_gain(coded, 1);
    std::vector<int16_t> twice = decode_with_gain(coded, 2);
    std::vector<int16_t> loud = decode_with_gain(coded, 100);
    std::vector<int16_t> mute = decode_with_gain(coded, 0);
    ASSERT_EQ(twice.size(), unity.size());
    ASSERT_EQ(loud.size(), unity.size());
    ASSERT_EQ(mute.size(), unity.size());
    bool clipped = false;
    for (size_t i = 0; i < unity.size(); ++i) {
        ASSERT_EQ(twice[i], unity[i] * 2) << "sample " << i;
        int expect_loud = unity[i] * 100;
        expect_loud = expect_loud > 32767 ? 32767 : (expect_loud < -32768 ? -32768 : expect_loud);
        ASSERT_EQ(loud[i], expect_loud) << "sample " << i;
        clipped = clipped || expect_loud != unity[i] * 100;
        ASSERT_EQ(mute[i], 0) << "sample " << i;
    }
    EXPECT_TRUE(clipped) << "gain 100 should have reached full scale";
}

TEST_F(Aud32, NegativeGainIsRefusedAndTheOldGainStays) {
    std::vector<uint8_t> coded(4000, 0x6C);
    std::vector<int16_t> twice = decode_with_gain(coded, 2);
    EXPECT_EQ(kep_aud32_decode_gain(-3), -1);
    kep_aud32 *dec = kep_aud32_open(KEP_AUD32_DECODER, KEP_AUD32_FMT16_16K_32KBPS);
    std::vector<int16_t> after = from_pcm(run_blocks(dec, false, coded), 16);
    kep_aud32_close(dec);
    EXPECT_EQ(after, twice);
}

// Any byte sequence is a valid coded stream: decoding noise stays within
// 16 bits (UBSan watches the arithmetic) and is reproducible.
TEST_F(Aud32, ArbitraryCodedBytesDecodeDeterministically) {
    std::vector<uint8_t> coded(6000);
    uint32_t seed = 12345;
    for (uint8_t &b : coded) {
        seed = seed * 1664525u + 1013904223u;
        b = (uint8_t)(seed >> 24);
    }
    for (const FormatCase &f : kCases) {
        kep_aud32 *a = kep_aud32_open(KEP_AUD32_DECODER, f.code);
        kep_aud32 *b = kep_aud32_open(KEP_AUD32_DECODER, f.code);
        ASSERT_TRUE(a && b);
        std::vector<uint8_t> first = run_blocks(a, false, coded);
        std::vector<uint8_t> second = run_blocks(b, false, coded);
        EXPECT_EQ(first.size(), coded.size() / (size_t)a->coded_size * (size_t)a->pcm_size);
        EXPECT_EQ(first, second) << "code " << f.code;
        kep_aud32_close(a);
        kep_aud32_close(b);
    }
}

// After a loud passage the quantiser step comes back down: silence decodes
// as near-silence within a quarter of a second, not as a stuck loud buzz.
TEST_F(Aud32, SilenceAfterFullScaleDecodesQuiet) {
    const int rate = 16000;
    std::vector<int16_t> x((size_t)rate, 0);
    for (int i = 0; i < rate / 2; ++i)
        x[(size_t)i] = (i / 20) % 2 ? 32767 : -32768; // 400 Hz full-scale square
    kep_aud32 *enc = kep_aud32_open(KEP_AUD32_ENCODER, KEP_AUD32_FMT16_16K_16KBPS);
    kep_aud32 *dec = kep_aud32_open(KEP_AUD32_DECODER, KEP_AUD32_FMT16_16K_16KBPS);
    ASSERT_TRUE(enc && dec);
    std::vector<int16_t> y = from_pcm(run_blocks(dec, false, run_blocks(enc, true, to_pcm(x, 16))), 16);
    kep_aud32_close(enc);
    kep_aud32_close(dec);
    ASSERT_EQ(y.size(), x.size());
    int peak = 0;
    for (size_t i = (size_t)rate * 3 / 4; i < y.size(); ++i)
        peak = abs(y[i]) > peak ? abs(y[i]) : peak;
    EXPECT_LT(peak, 200) << "decoded silence after the loud half";
    std::vector<int16_t> loud_in(x.begin(), x.begin() + rate / 2);
    std::vector<int16_t> loud_out(y.begin(), y.begin() + rate / 2);
    EXPECT_GT(aud32_test::correlation(loud_in, loud_out), 0.8) << "full-scale square wave";
}

// 64-bit FNV-1a of every format's coded stream for one integer-made input
// (no floating point anywhere, so the input is the same on every machine).
uint64_t coded_fingerprint() {
    uint64_t h = 1469598103934665603ull;
    for (const FormatCase &f : kCases) {
        std::vector<int16_t> x((size_t)f.rate_khz * 200); // 200 ms
        uint32_t seed = 7;
        for (size_t i = 0; i < x.size(); ++i) {
            seed = seed * 1664525u + 1013904223u;
            int tri = (int)(i * 37 % 400) - 200; // a triangle-ish ramp
            x[i] = (int16_t)(tri * 40 + (int)(seed >> 22) - 512);
        }
        kep_aud32 *enc = kep_aud32_open(KEP_AUD32_ENCODER, f.code);
        if (!enc)
            return 0;
        for (uint8_t b : run_blocks(enc, true, to_pcm(x, f.width)))
            h = (h ^ b) * 1099511628211ull;
        kep_aud32_close(enc);
    }
    return h;
}

// Files coded on the camera are decoded on a PC and the other way round, so
// the coded bits must not depend on the machine. The value was recorded on
// x86-64; the same test runs on armhf under qemu.
TEST_F(Aud32, CodedStreamIsTheSameOnEveryMachine) {
    EXPECT_EQ(coded_fingerprint(), 0x7d7da49a4363e550ull);
}

// The test-only variable changes the sizes a context reports, nothing else.
TEST_F(Aud32, TestVariableChangesOnlyTheReportedSizes) {
    ASSERT_EQ(setenv("KEP_AUD32_TEST_BLOCK_SIZES", "641,-5", 1), 0);
    kep_aud32 *odd = kep_aud32_open(KEP_AUD32_ENCODER, KEP_AUD32_FMT16_32K_32KBPS);
    unsetenv("KEP_AUD32_TEST_BLOCK_SIZES");
    kep_aud32 *plain = kep_aud32_open(KEP_AUD32_ENCODER, KEP_AUD32_FMT16_32K_32KBPS);
    ASSERT_TRUE(odd && plain);
    EXPECT_EQ(odd->coded_size, 641);
    EXPECT_EQ(odd->pcm_size, -5);
    EXPECT_EQ(plain->coded_size, 40);
    EXPECT_EQ(plain->pcm_size, 640);

    std::vector<uint8_t> pcm = to_pcm(aud32_test::speech_like(32000, 320), 16);
    uint8_t a[KEP_AUD32_MAX_BLOCK], b[KEP_AUD32_MAX_BLOCK];
    int na = KEP_AUD32_MAX_BLOCK, nb = KEP_AUD32_MAX_BLOCK;
    EXPECT_EQ(kep_aud32_encode(odd, pcm.data(), a, 640, &na), 640);
    EXPECT_EQ(kep_aud32_encode(plain, pcm.data(), b, 640, &nb), 640);
    ASSERT_EQ(na, 40);
    ASSERT_EQ(nb, 40);
    EXPECT_EQ(memcmp(a, b, 40), 0);
    kep_aud32_close(odd);
    kep_aud32_close(plain);
}

} // namespace
