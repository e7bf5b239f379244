#include "reader_support.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

// ---- output capture --------------------------------------------------------

static int temp_fd()
{
    char name[] = "/tmp/kep-reader-out-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0)
        throw std::runtime_error("mkstemp");
    unlink(name);
    return fd;
}

static std::string slurp(int fd)
{
    std::string s;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, (size_t)n);
    return s;
}

OutputCapture::OutputCapture()
{
    fflush(stdout);
    fflush(stderr);
    file_out_ = temp_fd();
    file_err_ = temp_fd();
    saved_out_ = dup(1);
    saved_err_ = dup(2);
    dup2(file_out_, 1);
    dup2(file_err_, 2);
}

void OutputCapture::restore()
{
    if (saved_out_ < 0)
        return;
    fflush(stdout);
    fflush(stderr);
    dup2(saved_out_, 1);
    dup2(saved_err_, 2);
    close(saved_out_);
    close(saved_err_);
    saved_out_ = saved_err_ = -1;
}

void OutputCapture::take(std::string *out, std::string *err)
{
    restore();
    if (out != nullptr)
        *out = slurp(file_out_);
    if (err != nullptr)
        *err = slurp(file_err_);
}

std::string OutputCapture::out()
{
    std::string s;
    take(&s, nullptr);
    return s;
}

OutputCapture::~OutputCapture()
{
    restore();
    close(file_out_);
    close(file_err_);
}

size_t count_of(const std::string &haystack, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        n++;
    return n;
}

// ---- files -----------------------------------------------------------------

TempFile::TempFile(const Bytes &content)
{
    char name[] = "/tmp/kep-reader-stream-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0)
        throw std::runtime_error("mkstemp");
    path_ = name;
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n <= 0)
            throw std::runtime_error("write");
        done += (size_t)n;
    }
    close(fd);
}

TempFile::~TempFile()
{
    unlink(path_.c_str());
}

// ---- running the reader ----------------------------------------------------

static std::string g_last_out, g_last_err;

const std::string &last_out()
{
    return g_last_out;
}

const std::string &last_err()
{
    return g_last_err;
}

std::vector<ReadResult> read_file(const Bytes &stream, uint32_t fourcc, int dec_fd, uint32_t dst_size,
                                  size_t max_calls)
{
    TempFile file(stream);
    OutputCapture cap;
    kep_m2m m2m = {};
    m2m.dec_fourcc = fourcc;
    m2m.dec_fd = dec_fd;
    std::vector<ReadResult> results;
    if (kep_bs_reader_init(&m2m, file.path()) != 0)
        throw std::runtime_error("kep_bs_reader_init failed");
    Bytes dst(dst_size + 256, 0xEE);
    for (size_t i = 0; i < max_calls; i++) {
        int32_t n = kep_bs_reader_read_frame(&m2m, nullptr, 0, dst.data(), dst_size);
        ReadResult r{n, {}};
        if (n > 0)
            r.frame.assign(dst.begin(), dst.begin() + n);
        results.push_back(r);
        // Nothing may ever be written past dst_size.
        for (size_t k = dst_size; k < dst.size(); k++)
            if (dst[k] != 0xEE)
                throw std::runtime_error("reader wrote past the destination size");
        if (n == -1)
            break;
    }
    kep_bs_reader_uninit(&m2m);
    cap.take(&g_last_out, &g_last_err);
    return results;
}

ReadResult read_memory(const Bytes &data, uint32_t fourcc, int dec_fd, uint32_t dst_size)
{
    OutputCapture cap;
    kep_m2m m2m = {};
    m2m.dec_fourcc = fourcc;
    m2m.dec_fd = dec_fd;
    if (kep_bs_reader_init(&m2m, "/dev/mem") != 0)
        throw std::runtime_error("kep_bs_reader_init failed");
    // A heap copy of exactly the data, so that a read outside it is caught
    // by the sanitizers.
    uint8_t *src = (uint8_t *)malloc(data.size() + 1);
    if (!data.empty())
        memcpy(src, data.data(), data.size());
    Bytes dst(dst_size + 256, 0xEE);
    int32_t n = kep_bs_reader_read_frame(&m2m, src, (uint32_t)data.size(), dst.data(), dst_size);
    free(src);
    kep_bs_reader_uninit(&m2m);
    cap.take(&g_last_out, &g_last_err);
    for (size_t k = dst_size; k < dst.size(); k++)
        if (dst[k] != 0xEE)
            throw std::runtime_error("reader wrote past the destination size");
    ReadResult r{n, {}};
    if (n > 0)
        r.frame.assign(dst.begin(), dst.begin() + n);
    return r;
}

Bytes unpadded(const Bytes &frame)
{
    Bytes b = frame;
    while (!b.empty() && b.back() == 0)
        b.pop_back();
    return b;
}

Bytes concat(const std::vector<Bytes> &parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes filler(size_t n, uint8_t value)
{
    return Bytes(n, value);
}

Bytes load_file(const std::string &path)
{
    Bytes out;
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return out;
    uint8_t buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.insert(out.end(), buf, buf + n);
    fclose(f);
    return out;
}

// ---- H.264 -----------------------------------------------------------------

void BitWriter::bits(uint32_t value, int n)
{
    for (int i = n - 1; i >= 0; i--) {
        acc_ = acc_ << 1 | ((value >> i) & 1u);
        if (++used_ == 8) {
            out_.push_back((uint8_t)acc_);
            acc_ = 0;
            used_ = 0;
        }
    }
}

void BitWriter::ue(uint32_t value)
{
    uint64_t v = (uint64_t)value + 1;
    int len = 0;
    while ((v >> len) > 1)
        len++;
    bits(0, len);
    bits((uint32_t)v, len + 1);
}

Bytes BitWriter::finish(size_t body)
{
    // Payload bytes first, then the stop bit, so the unit ends in 0x80.
    if (used_ != 0)
        bits(0x7F, 8 - used_); // ones to the byte end: no zero bytes appear
    for (size_t i = 0; i < body; i++)
        out_.push_back((uint8_t)(0x11 + (i * 7) % 0xEE));
    out_.push_back(0x80);
    return out_;
}

Bytes nal(uint8_t type, const Bytes &rbsp)
{
    Bytes b = {0, 0, 0, 1, (uint8_t)(0x60 | type)};
    b.insert(b.end(), rbsp.begin(), rbsp.end());
    return b;
}

Bytes sps(size_t body)
{
    BitWriter w;
    w.bits(100, 8); // profile
    w.bits(0, 8);
    w.bits(40, 8);
    w.ue(0);
    return nal(7, w.finish(body));
}

Bytes pps(bool cabac, uint32_t id)
{
    BitWriter w;
    w.ue(id);
    w.ue(0);
    w.bits(cabac ? 1 : 0, 1);
    w.bits(0, 1);
    return nal(8, w.finish(4));
}

Bytes slice(uint8_t type, uint32_t first_mb, size_t body)
{
    BitWriter w;
    w.ue(first_mb);
    w.ue(type == 5 ? 7 : 5);
    w.ue(0);
    return nal(type, w.finish(body));
}

namespace {

constexpr size_t NONE = (size_t)-1;

unsigned ref_trailing_zeros(const uint8_t *g)
{
    unsigned n = 0;
    for (int k = 3; k >= 0 && g[k] == 0; k--)
        n++;
    return n;
}

// The parse operation, literally: groups of four from pos, state from 0.
size_t ref_parse(uint8_t *pos, size_t len, int phase, std::vector<int32_t> *entropy)
{
    size_t i = 0;
    unsigned state = 0;
    for (;;) {
        if (i >= len)
            return NONE;
        size_t n = std::min<size_t>(4, len - i);
        const uint8_t *g = pos + i;
        auto b = [&](size_t k) { return k < n ? (int)g[k] : -1; };
        size_t q = NONE;
        if (n == 4 && g[0] == 0 && g[1] == 0 && g[2] == 0 && g[3] == 1)
            q = i;
        else if (state == 1 && b(0) == 0 && b(1) == 0 && b(2) == 1)
            q = i - 1;
        else if (state == 2 && b(0) == 0 && b(1) == 1)
            q = i - 2;
        else if (state == 3 && b(0) == 1)
            q = i - 3;
        if (q == NONE) {
            if (n < 4)
                return NONE;
            if (state != 4)
                state = ref_trailing_zeros(g);
            i += 4;
            continue;
        }
        size_t r = len - q;
        if (r < 8 || phase == 0)
            return q;
        unsigned type = pos[q + 4] & 0x1F;
        if (type == 7)
            return q;
        bits_handler h;
        bits_handler_init(&h, pos + q + 5, (uint32_t)std::min<size_t>(32, r - 5));
        if (type == 8) {
            ue_exp_golomb(&h);
            ue_exp_golomb(&h);
            uint32_t flag = read_bits(&h, 1);
            if (entropy != nullptr)
                entropy->push_back((int32_t)flag);
        } else if (type == 1) {
            uint32_t first = ue_exp_golomb(&h);
            if (first == 0)
                return q;
        }
        i = (q + 4) & ~(size_t)3;
        state = 0;
    }
}

struct RefReader {
    const Bytes *stream = nullptr;
    size_t offset = 0;
    bool memory = false;
    Bytes buffer = Bytes(8192);
    uint8_t *base = buffer.data();
    size_t length = 8192;
    size_t position = 0;
    bool frame_at_base = false; // a frame found to start at the buffer's first byte
    std::vector<int32_t> *entropy = nullptr;

    size_t fill()
    {
        if (memory)
            return length;
        size_t n = std::min<size_t>(8192, stream->size() - offset);
        if (n > 0)
            memcpy(base, stream->data() + offset, n);
        offset += n;
        return n;
    }

    ReadResult call(uint32_t dst_size)
    {
        Bytes out;
        size_t frame_start = 0, end = length, pos = position, next = 0;
        int phase = 0;
        bool refill = pos == 0 && !frame_at_base;
        frame_at_base = false;
        auto fits = [&](size_t n) { return out.size() + n <= dst_size; };
        for (;;) {
            if (refill) {
                refill = false;
                length = fill();
                end = length;
                if (length == 0)
                    phase = 2;
            }
            size_t found = phase == 2 ? NONE : ref_parse(base + pos, end - pos, phase, entropy);
            if (found != NONE)
                found += pos;
            if (found != NONE && phase == 0) {
                frame_start = found;
                pos = found + 4;
                phase = 1;
                continue;
            }
            if (found != NONE && phase == 1) {
                frame_at_base = !memory && found == 0;
                if (!fits(found - frame_start)) {
                    position = found;
                    return {-102, {}};
                }
                out.insert(out.end(), base + frame_start, base + found);
                next = found;
                break;
            }
            if (phase == 0) {
                if (memory)
                    return {-2, {}};
                pos = 0;
                refill = true;
                continue;
            }
            if (phase == 1) {
                if (!fits(end - frame_start)) {
                    position = 0;
                    return {-100, {}};
                }
                out.insert(out.end(), base + frame_start, base + end);
                if (memory) {
                    next = 0;
                    break;
                }
                frame_start = pos = 0;
                refill = true;
                continue;
            }
            next = 0;
            if (out.empty()) {
                position = next;
                return {-1, {}};
            }
            break;
        }
        size_t padded = (out.size() + 63) / 64 * 64;
        position = next;
        if (padded > dst_size)
            return {-102, {}};
        out.resize(padded, 0);
        return {(int32_t)padded, out};
    }
};

} // namespace

std::vector<ReadResult> reference_h264_file(const Bytes &stream, uint32_t dst_size, std::vector<int32_t> *entropy,
                                            size_t max_calls)
{
    RefReader r;
    r.stream = &stream;
    r.entropy = entropy;
    std::vector<ReadResult> results;
    for (size_t i = 0; i < max_calls; i++) {
        results.push_back(r.call(dst_size));
        if (results.back().code == -1)
            break;
    }
    return results;
}

ReadResult reference_h264_memory(const Bytes &data, uint32_t dst_size, std::vector<int32_t> *entropy)
{
    RefReader r;
    r.memory = true;
    r.buffer = data;
    r.base = r.buffer.data();
    r.length = data.size();
    r.entropy = entropy;
    return r.call(dst_size);
}

// ---- MJPEG -----------------------------------------------------------------

Bytes qtable(uint8_t base)
{
    Bytes t(64);
    for (size_t i = 0; i < 64; i++)
        t[i] = (uint8_t)(base + i % 50);
    return t;
}

static void segment(Bytes &out, uint8_t code, const Bytes &payload)
{
    size_t l = payload.size() + 2;
    out.insert(out.end(), {0xFF, code, (uint8_t)(l >> 8), (uint8_t)l});
    out.insert(out.end(), payload.begin(), payload.end());
}

Jpeg make_jpeg(const JpegSpec &shape)
{
    Jpeg j;
    j.luma = qtable(shape.luma_q);
    j.chroma = qtable(shape.chroma_q);
    Bytes &o = j.bytes;
    o = {0xFF, 0xD8};
    if (shape.app0)
        segment(o, 0xE0, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
    if (shape.comment > 0)
        segment(o, 0xFE, Bytes(shape.comment, 'c'));
    Bytes dqt = {0x00};
    dqt.insert(dqt.end(), j.luma.begin(), j.luma.end());
    dqt.push_back(0x01);
    dqt.insert(dqt.end(), j.chroma.begin(), j.chroma.end());
    segment(o, 0xDB, dqt);
    j.dqt_end = o.size();
    j.dqt_at = j.dqt_end - dqt.size();
    Bytes sof = {8, 0, 16, 0, 16, shape.components};
    for (uint8_t c = 0; c < shape.components; c++) {
        sof.insert(sof.end(), {(uint8_t)(c + 1), (uint8_t)(c == 0 ? shape.h << 4 | shape.v : 0x11), (uint8_t)(c == 0 ? 0 : 1)});
    }
    segment(o, 0xC0, sof);
    j.sof_end = o.size();
    j.sof_at = j.sof_end - sof.size();
    segment(o, 0xC4, Bytes(29, 0x21)); // Huffman tables: skipped as data
    if (shape.restart)
        segment(o, 0xDD, {0, 4});
    segment(o, 0xDA, {3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0});
    uint32_t x = shape.seed * 2654435761u + 1;
    for (size_t i = 0; i < shape.scan; i++) {
        x = x * 1103515245u + 12345u;
        uint8_t b = (uint8_t)(x >> 16);
        if (b == 0x00)
            b = 0x37;
        if (b == 0xFF) {
            j.scan.push_back(0xFF);
            b = 0x00; // stuffing
        }
        if (i + 1 == shape.scan && (b == 0x00 || b == 0xFF))
            b = 0x42;
        j.scan.push_back(b);
        if (shape.restart && i % 64 == 63 && i + 1 < shape.scan) {
            j.scan.push_back(0xFF);
            j.scan.push_back((uint8_t)(0xD0 + (i / 64) % 8));
        }
    }
    o.insert(o.end(), j.scan.begin(), j.scan.end());
    o.insert(o.end(), shape.fill, 0xFF);
    o.insert(o.end(), {0xFF, 0xD9});
    j.scan.insert(j.scan.end(), {0xFF, 0xD9});
    return j;
}

Bytes normalised_mjpeg_frame(const Bytes &frame)
{
    Bytes b = unpadded(frame);
    if (b.size() < 2 || b[b.size() - 2] != 0xFF || b.back() != 0xD9)
        return b; // no end of image: returned as is, so the comparison fails
    b.resize(b.size() - 2);
    while (!b.empty() && b.back() == 0xFF)
        b.pop_back();
    b.insert(b.end(), {0xFF, 0xD9});
    return b;
}

const uint8_t *plain_mjpeg_marker(const uint8_t *p, const uint8_t *end)
{
    for (; p < end; p++) {
        if (*p != 0xFF)
            continue;
        if (p + 1 == end || p[1] != 0x00)
            return p;
        p++; // the walk goes on at the 00, which is no 0xFF
    }
    return nullptr;
}
