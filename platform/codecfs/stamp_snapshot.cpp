// Snapshot text of a stamp:
//   codecfs-stamp 1
//   enable E scale S start X Y dim C R fg Y CB CR bg Y CB CR weight W attr A words N
//   then N words in hexadecimal, eight to a line.
#include "stamp_snapshot.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace codecfs {

namespace {

constexpr char kMagic[] = "codecfs-stamp 1\n";
constexpr size_t kHeadMax = 256; // the second line, generously

} // namespace

size_t snapshot_size(const Stamp &s)
{
    return sizeof kMagic - 1 + kHeadMax + static_cast<size_t>(s.word_count) * 9;
}

size_t write_snapshot(const Stamp &s, char *out, size_t cap)
{
    size_t len = 0;
    auto put = [&](const char *fmt, auto... v) {
        int n = snprintf(len < cap ? out + len : nullptr, len < cap ? cap - len : 0, fmt, v...);
        if (n > 0)
            len += static_cast<size_t>(n);
    };
    put("%s", kMagic);
    put("enable %d scale %d start %d %d dim %d %d fg %d %d %d bg %d %d %d weight %d attr %d words %u\n", s.enable,
        s.scale, s.start[0], s.start[1], s.dim[0], s.dim[1], s.fg[0], s.fg[1], s.fg[2], s.bg[0], s.bg[1], s.bg[2],
        s.weight, s.attr, s.word_count);
    for (uint32_t i = 0; i < s.word_count; ++i)
        put(i % 8 == 7 || i + 1 == s.word_count ? "%08x\n" : "%08x ", s.words[i]);
    return len;
}

bool read_snapshot(const char *text, size_t len, Stamp &s)
{
    char *copy = static_cast<char *>(malloc(len + 1));
    if (!copy)
        return false;
    memcpy(copy, text, len);
    copy[len] = '\0';
    Stamp *t = static_cast<Stamp *>(calloc(1, sizeof(Stamp)));
    bool ok = t && strncmp(copy, kMagic, sizeof kMagic - 1) == 0;
    const char *p = copy + (ok ? sizeof kMagic - 1 : 0);
    int used = 0;
    unsigned count = 0;
    if (ok)
        ok = sscanf(p, "enable %d scale %d start %d %d dim %d %d fg %d %d %d bg %d %d %d weight %d attr %d words %u%n",
                    &t->enable, &t->scale, &t->start[0], &t->start[1], &t->dim[0], &t->dim[1], &t->fg[0], &t->fg[1],
                    &t->fg[2], &t->bg[0], &t->bg[1], &t->bg[2], &t->weight, &t->attr, &count, &used) == 15 &&
             count <= kMaxStampWords;
    if (ok) {
        p += used;
        for (unsigned i = 0; i < count && ok; ++i) {
            char *end;
            unsigned long v = strtoul(p, &end, 16);
            ok = end != p && v <= 0xffffffffu;
            t->words[i] = static_cast<uint32_t>(v);
            p = end;
        }
        t->word_count = count;
    }
    if (ok) {
        // The raw text stays with the file system; a snapshot is for drawing.
        memcpy(t->text, s.text, s.text_len);
        t->text_len = s.text_len;
        s = *t;
    }
    free(t);
    free(copy);
    return ok;
}

int draw_from_snapshot_file(const char *path, uint8_t *picture, unsigned width, unsigned height)
{
    // Largest snapshot: the head and every word of a full stamp.
    const size_t cap = sizeof kMagic + kHeadMax + kMaxStampWords * 9 + 1;
    char *text = static_cast<char *>(malloc(cap));
    Stamp *s = static_cast<Stamp *>(calloc(1, sizeof(Stamp)));
    FILE *f = fopen(path, "rb");
    int result = -1;
    if (text && s && f) {
        size_t len = fread(text, 1, cap, f);
        if (len < cap && read_snapshot(text, len, *s)) {
            draw_s420(*s, picture, width, height);
            result = 0;
        }
    }
    if (f)
        fclose(f);
    free(s);
    free(text);
    return result;
}

} // namespace codecfs
