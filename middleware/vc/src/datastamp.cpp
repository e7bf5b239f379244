// Datastamp control: one setter and one getter per text file of the codec
// driver's datastamp directory. Every call opens the file, reads or writes it
// once and closes it; the driver holds all the state.
#include "cds_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace kep {

bool cds_path(char (&path)[kCdsPathSize], const char *dir, const char *name)
{
    int n = snprintf(path, sizeof path, "%s/%s", dir, name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
        path[0] = '\0';
        return false;
    }
    return true;
}

namespace {

// Printed from its parts so that an over-long path is named in full.
void open_failed(const char *dir, const char *name)
{
    fprintf(stderr, "open %s/%s failed.\n", dir, name);
}

} // namespace

FILE *cds_open(const char *dir, const char *name, const char *mode, bool quiet)
{
    char path[kCdsPathSize];
    FILE *f = cds_path(path, dir, name) ? fopen(path, mode) : nullptr;
    if (!f && !quiet)
        open_failed(dir, name);
    return f;
}

int cds_open_setting(const char *dir, const char *name, bool quiet)
{
    char path[kCdsPathSize];
    int fd = -1;
    if (cds_path(path, dir, name)) {
        do {
            fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        } while (fd == -1 && errno == EINTR);
    }
    if (fd == -1 && !quiet)
        open_failed(dir, name);
    return fd;
}

void cds_write_setting(int fd, const void *data, size_t len)
{
    // Errors of the write itself are not examined; an interrupted one is
    // made again, a short one never completed by a second.
    if (len > 0) {
        ssize_t n;
        do {
            n = write(fd, data, len);
        } while (n == -1 && errno == EINTR);
    }
    close(fd);
}

size_t cds_append_block(char *text, size_t len, size_t cap, const uint32_t words[8])
{
    if (len >= cap)
        return 0;
    int n = snprintf(text + len, cap - len, "0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x ", words[0], words[1],
                     words[2], words[3], words[4], words[5], words[6], words[7]);
    if (n < 0 || static_cast<size_t>(n) >= cap - len) {
        memset(text + len, 0, cap - len);
        return 0;
    }
    return len + static_cast<size_t>(n);
}

} // namespace kep

namespace {

// Size of the text buffer of the small files: 256 bytes read, one NUL behind.
constexpr size_t kSmallRead = 256;

// Reads at most 256 bytes of dir/name into text (zero-filled, NUL-terminated).
// Returns false after the open-failure message.
bool read_small(const char *dir, const char *name, char (&text)[kSmallRead + 1])
{
    memset(text, 0, sizeof text);
    FILE *f = kep::cds_open(dir, name, "r");
    if (!f)
        return false;
    size_t got = fread(text, 1, kSmallRead, f);
    (void)got; // a short or failed read leaves the text as far as it came
    fclose(f);
    return true;
}

// Writes text (without its NUL) as the whole content of dir/name.
int write_small(const char *dir, const char *name, const char *text, bool quiet = false)
{
    int fd = kep::cds_open_setting(dir, name, quiet);
    if (fd == -1)
        return 1;
    kep::cds_write_setting(fd, text, strlen(text));
    return 0;
}

// Parses "<prefix>0x%x, 0x%x)" into out, storing only what the text supplies.
void parse_pair(const char *text, const char *format, int32_t out[2])
{
    unsigned v[2] = {0, 0};
    int n = sscanf(text, format, &v[0], &v[1]);
    for (int i = 0; i < n && i < 2; ++i)
        out[i] = static_cast<int32_t>(v[i]);
}

} // namespace

extern "C" {

KEP_VC_API int32_t kep_cds_get_datastamp(const char *dir, char *buf, int32_t length)
{
    FILE *f = kep::cds_open(dir, "ds_datastamp", "r");
    if (!f)
        return 1;
    size_t got = 0;
    if (buf && length > 0)
        got = fread(buf, 1, static_cast<size_t>(length), f);
    fclose(f);
    // Bounded by what was read, so a caller's buffer without a NUL behind the
    // bytes is never read past; the text printed is the same either way.
    printf("[get]: ds_datastamp = %.*s\n", static_cast<int>(got), buf ? buf : "");
    return 0;
}

KEP_VC_API int32_t kep_cds_set_datastamp(const char *dir, const char *data, int32_t length)
{
    int fd = kep::cds_open_setting(dir, "ds_datastamp");
    if (fd == -1)
        return 1;
    kep::cds_write_setting(fd, data, data && length > 0 ? static_cast<size_t>(length) : 0);
    return 0;
}

KEP_VC_API int32_t kep_cds_get_position(const char *dir, int32_t start[2], int32_t dim[2])
{
    char text[kSmallRead + 1];
    if (!read_small(dir, "ds_position", text))
        return 1;
    parse_pair(text, "start(0x%x, 0x%x)", start);
    printf("[get]: ds_positon = %s\n", text);

    if (!read_small(dir, "ds_dimension", text))
        return 1;
    parse_pair(text, "dim(0x%x, 0x%x)", dim);
    printf("[get]: ds_dimension = %s\n", text);
    return 0;
}

KEP_VC_API int32_t kep_cds_set_position(const char *dir, const int32_t start[2], const int32_t dim[2])
{
    char text[32];
    snprintf(text, sizeof text, "0x%x 0x%x", static_cast<unsigned>(start[0]), static_cast<unsigned>(start[1]));
    if (write_small(dir, "ds_position", text))
        return 1;
    snprintf(text, sizeof text, "0x%x 0x%x", static_cast<unsigned>(dim[0]), static_cast<unsigned>(dim[1]));
    return write_small(dir, "ds_dimension", text);
}

KEP_VC_API int32_t kep_cds_get_color(const char *dir)
{
    char text[kSmallRead + 1];
    if (!read_small(dir, "ds_color", text))
        return 1;
    printf("[get]: ds_color = %s\n", text);
    return 0;
}

KEP_VC_API int32_t kep_cds_set_color(const char *dir, const int32_t fg[3], const int32_t bg[3])
{
    char text[96];
    snprintf(text, sizeof text, "%d %d %d %d %d %d", fg[0], fg[1], fg[2], bg[0], bg[1], bg[2]);
    return write_small(dir, "ds_color", text);
}

KEP_VC_API int32_t kep_cds_get_color_attr(const char *dir)
{
    char text[kSmallRead + 1];
    if (!read_small(dir, "ds_color_attr", text))
        return 1;
    printf("[get]: ds_color_attr = %s\n", text);
    return 0;
}

KEP_VC_API int32_t kep_cds_set_color_attr(const char *dir, int32_t attr[2])
{
    // The file is opened before the weight is looked at: a failed open leaves
    // the caller's pair as it was.
    int fd = kep::cds_open_setting(dir, "ds_color_attr");
    if (fd == -1)
        return 1;
    if (attr[0] > 7) {
        fprintf(stderr, "<<Warning>> Error Stamp weight =%d range 1 ~ 7\n", attr[0]);
        attr[0] = 7;
    } else if (attr[0] <= 0) {
        fprintf(stderr, "<<Warning>> Error Stamp weight =%d range 1 ~ 7\n", attr[0]);
        attr[0] = 1;
    }
    char text[32];
    int n = snprintf(text, sizeof text, "0x%x 0x%x", static_cast<unsigned>(attr[0]), static_cast<unsigned>(attr[1]));
    kep::cds_write_setting(fd, text, static_cast<size_t>(n));
    return 0;
}

KEP_VC_API int32_t kep_cds_get_scale(const char *dir)
{
    char text[kSmallRead + 1];
    return read_small(dir, "ds_scale", text) ? 0 : 1;
}

KEP_VC_API int32_t kep_cds_set_scale(const char *dir, int32_t scale)
{
    char text[16];
    snprintf(text, sizeof text, "%d", scale);
    return write_small(dir, "ds_scale", text);
}

KEP_VC_API int32_t kep_cds_get_enable(const char *dir, int32_t *enable)
{
    char text[kSmallRead + 1];
    if (!read_small(dir, "ds_enable", text))
        return 1;
    int value = *enable;
    if (sscanf(text, "datastamp enable=%d", &value) == 1)
        *enable = value;
    printf("[get]: ds_enable = %d\n", *enable);
    return 0;
}

KEP_VC_API int32_t kep_cds_set_enable(const char *dir, int32_t enable)
{
    char text[16];
    snprintf(text, sizeof text, "%d", enable);
    return write_small(dir, "ds_enable", text, true);
}

} // extern "C"
