// The datastamp getters on arbitrary file contents: the parses of
// "start(0x%x, 0x%x)", "dim(0x%x, 0x%x)", "datastamp enable=%d", the
// printed texts and the bounded datastamp read.
#include "scratch_files.h"
#include "kep_vc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The input is split at the first "|" into two file texts, so
    // position and dimension can differ.
    const uint8_t *bar = static_cast<const uint8_t *>(memchr(data, '|', size));
    size_t first = bar ? static_cast<size_t>(bar - data) : size;
    const uint8_t *second = bar ? bar + 1 : data;
    size_t second_size = bar ? size - first - 1 : size;
    static const char *const names[] = {"ds_position", "ds_color", "ds_color_attr", "ds_scale", "ds_enable"};
    for (const char *name : names)
        scratch::put_file(name, data, first);
    scratch::put_file("ds_dimension", second, second_size);
    scratch::put_file("ds_datastamp", data, size);

    const char *dir = scratch::dir();
    int32_t start[2] = {0, 0}, dim[2] = {0, 0}, enable = 0;
    kep_cds_get_position(dir, start, dim);
    kep_cds_get_color(dir);
    kep_cds_get_color_attr(dir);
    kep_cds_get_scale(dir);
    kep_cds_get_enable(dir, &enable);
    // An exact-size buffer without room for a NUL: the print must not run past it.
    size_t len = size % 64 + 1;
    char *buf = static_cast<char *>(malloc(len));
    kep_cds_get_datastamp(dir, buf, static_cast<int32_t>(len));
    free(buf);
    return 0;
}
