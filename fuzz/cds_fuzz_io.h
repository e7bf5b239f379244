// Scratch files for the datastamp and BMP fuzz targets: the library reads
// and writes files by path, so each input is written to a file first.
#ifndef KEP_CDS_FUZZ_IO_H
#define KEP_CDS_FUZZ_IO_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <dirent.h>
#include <unistd.h>

namespace cdsfuzz {

inline char *scratch_name()
{
    static char dir[64];
    return dir;
}

// Removes the scratch directory (flat: the targets make no subdirectories).
inline void remove_scratch()
{
    const char *dir = scratch_name();
    DIR *d = opendir(dir);
    if (!d)
        return;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        char path[512];
        snprintf(path, sizeof path, "%s/%s", dir, e->d_name);
        unlink(path);
    }
    closedir(d);
    rmdir(dir);
}

// A directory of this process, made once and removed at exit.
inline const char *scratch_dir()
{
    char *dir = scratch_name();
    if (!dir[0]) {
        snprintf(dir, 64, "/tmp/kep-cds-fuzz-XXXXXX");
        if (!mkdtemp(dir))
            abort();
        atexit(remove_scratch);
    }
    return dir;
}

inline const char *path_of(const char *name, char (&buf)[256])
{
    snprintf(buf, sizeof buf, "%s/%s", scratch_dir(), name);
    return buf;
}

inline void put_file(const char *name, const uint8_t *data, size_t size)
{
    char path[256];
    FILE *f = fopen(path_of(name, path), "wb");
    if (!f)
        abort();
    if (size)
        fwrite(data, 1, size, f);
    fclose(f);
}

} // namespace cdsfuzz

#endif
