// Scratch files for the fuzz targets whose code under test opens files by
// path (the datastamp driver files, BMP pictures, libkep_audio's state file).
// The files live in one directory of this process, made once on the
// in-memory file system when there is one and removed at exit: an input costs
// a write into memory, never a file created on disk or a block allocation on
// close, so the code under test keeps its own opens and reads and still runs
// thousands of inputs a second.
#ifndef KEP_FUZZ_SCRATCH_FILES_H
#define KEP_FUZZ_SCRATCH_FILES_H

#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace scratch {

inline char *dir_name()
{
    static char dir[64];
    return dir;
}

// Removes the scratch directory (flat: the targets make no subdirectories).
inline void remove_dir()
{
    const char *dir = dir_name();
    DIR *d = opendir(dir);
    if (!d)
        return;
    while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        char path[512];
        snprintf(path, sizeof path, "%s/%s", dir, e->d_name);
        unlink(path);
    }
    closedir(d);
    rmdir(dir);
}

// The directory, under /dev/shm (tmpfs) where it can be made, else /tmp.
inline const char *dir()
{
    char *d = dir_name();
    if (!d[0]) {
        snprintf(d, 64, "/dev/shm/kep-fuzz-XXXXXX");
        if (!mkdtemp(d)) {
            snprintf(d, 64, "/tmp/kep-fuzz-XXXXXX");
            if (!mkdtemp(d))
                abort();
        }
        atexit(remove_dir);
    }
    return d;
}

inline const char *path_of(const char *name, char (&buf)[256])
{
    snprintf(buf, sizeof buf, "%s/%s", dir(), name);
    return buf;
}

// Makes dir/name hold exactly size bytes of data.
inline void put_file(const char *name, const uint8_t *data, size_t size)
{
    char path[256];
    int fd = open(path_of(name, path), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || (size && write(fd, data, size) != static_cast<ssize_t>(size)))
        abort();
    close(fd);
}

// Size of dir/name, or -1 when there is no such file.
inline long file_size(const char *name)
{
    char path[256];
    struct stat st;
    return stat(path_of(name, path), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

} // namespace scratch

#endif
