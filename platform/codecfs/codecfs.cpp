// codecfs: the virtual codec driver's datastamp files as a real file system.
//
//   codecfs [--channel NAME]... [-f] MOUNTPOINT
//
// Mounts one directory per encoder channel (default: 1_hd) holding the seven
// datastamp files. Each write is taken as one complete setting, as the
// camera's driver takes it (so a setting split over two writes shows as two
// settings); reads answer in the driver's forms. Besides the seven files each
// directory has ".stamp", a read-only snapshot of the decoded stamp that an
// encoder reads to burn the stamp in (see stamp_snapshot.h). Runs until
// unmounted (fusermount3 -u MOUNTPOINT) or sent SIGTERM/SIGINT.
#define FUSE_USE_VERSION 31
#include "stamp.h"
#include "stamp_snapshot.h"

#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int kMaxChannels = 8;
constexpr size_t kMaxWrite = codecfs::kMaxStampText;
constexpr const char *kSnapshotName = ".stamp";

struct Channel {
    char name[32];
    codecfs::Stamp *stamp;
    time_t changed;
};

struct Fs {
    Channel channels[kMaxChannels];
    int count;
};

// One open file.
struct Handle {
    Channel *channel;
    int file; // a DsFile, or -1 for the snapshot
};

Fs *fs()
{
    return static_cast<Fs *>(fuse_get_context()->private_data);
}

// Splits "/<channel>/<file>"; file is -2 for the channel directory itself,
// -1 for the snapshot. Returns the channel or NULL.
Channel *lookup(const char *path, int *file)
{
    if (path[0] != '/')
        return nullptr;
    const char *name = path + 1;
    const char *slash = strchr(name, '/');
    size_t n = slash ? static_cast<size_t>(slash - name) : strlen(name);
    for (int i = 0; i < fs()->count; ++i) {
        Channel &c = fs()->channels[i];
        if (strlen(c.name) != n || strncmp(c.name, name, n) != 0)
            continue;
        if (!slash) {
            *file = -2;
            return &c;
        }
        if (strcmp(slash + 1, kSnapshotName) == 0) {
            *file = -1;
            return &c;
        }
        codecfs::DsFile f = codecfs::file_by_name(slash + 1);
        if (f == codecfs::DsFile::count)
            return nullptr;
        *file = static_cast<int>(f);
        return &c;
    }
    return nullptr;
}

// The current content of a file, in a malloc'ed buffer.
char *content(const Channel &c, int file, size_t *len)
{
    size_t cap = codecfs::kMaxStampText + 1;
    if (file == -1)
        cap = codecfs::snapshot_size(*c.stamp) + 1;
    char *buf = static_cast<char *>(malloc(cap));
    if (!buf)
        return nullptr;
    size_t n = file == -1 ? codecfs::write_snapshot(*c.stamp, buf, cap)
                          : codecfs::answer(*c.stamp, static_cast<codecfs::DsFile>(file), buf, cap);
    *len = n < cap ? n : cap - 1;
    return buf;
}

int op_getattr(const char *path, struct stat *st, struct fuse_file_info *)
{
    memset(st, 0, sizeof *st);
    st->st_uid = getuid();
    st->st_gid = getgid();
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2 + fs()->count;
        return 0;
    }
    int file;
    Channel *c = lookup(path, &file);
    if (!c)
        return -ENOENT;
    st->st_mtime = st->st_ctime = c->changed;
    if (file == -2) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    st->st_mode = S_IFREG | (file == -1 ? 0444 : 0644);
    st->st_nlink = 1;
    size_t len = 0;
    free(content(*c, file, &len));
    st->st_size = static_cast<off_t>(len);
    return 0;
}

int op_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info *,
               enum fuse_readdir_flags)
{
    fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    if (strcmp(path, "/") == 0) {
        for (int i = 0; i < fs()->count; ++i)
            fill(buf, fs()->channels[i].name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
        return 0;
    }
    int file;
    if (!lookup(path, &file) || file != -2)
        return -ENOENT;
    for (const char *name : codecfs::kFileNames)
        fill(buf, name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buf, kSnapshotName, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int op_open(const char *path, struct fuse_file_info *fi)
{
    int file;
    Channel *c = lookup(path, &file);
    if (!c || file == -2)
        return -ENOENT;
    if (file == -1 && (fi->flags & O_ACCMODE) != O_RDONLY)
        return -EACCES;
    Handle *h = static_cast<Handle *>(calloc(1, sizeof(Handle)));
    if (!h)
        return -ENOMEM;
    h->channel = c;
    h->file = file;
    fi->fh = reinterpret_cast<uintptr_t>(h);
    fi->direct_io = 1; // answers are made at read time, never cached
    return 0;
}

int op_truncate(const char *path, off_t, struct fuse_file_info *)
{
    int file;
    Channel *c = lookup(path, &file);
    if (!c || file == -2)
        return -ENOENT;
    return file == -1 ? -EACCES : 0; // "w" truncates; the setting comes with the write
}

int op_read(const char *, char *buf, size_t size, off_t off, struct fuse_file_info *fi)
{
    Handle *h = reinterpret_cast<Handle *>(fi->fh);
    size_t len = 0;
    char *text = content(*h->channel, h->file, &len);
    if (!text)
        return -ENOMEM;
    size_t n = 0;
    if (off >= 0 && static_cast<size_t>(off) < len) {
        n = len - static_cast<size_t>(off);
        if (n > size)
            n = size;
        memcpy(buf, text + off, n);
    }
    free(text);
    return static_cast<int>(n);
}

// Every write is a whole setting, wherever the file offset stands: the
// driver has no notion of a setting continued by a second write.
int op_write(const char *, const char *buf, size_t size, off_t, struct fuse_file_info *fi)
{
    Handle *h = reinterpret_cast<Handle *>(fi->fh);
    if (size > kMaxWrite)
        return -EFBIG;
    if (codecfs::apply(*h->channel->stamp, static_cast<codecfs::DsFile>(h->file), buf, size) != 0)
        return -EINVAL;
    h->channel->changed = time(nullptr);
    return static_cast<int>(size);
}

int op_release(const char *, struct fuse_file_info *fi)
{
    free(reinterpret_cast<Handle *>(fi->fh));
    return 0;
}

void *op_init(struct fuse_conn_info *, struct fuse_config *cfg)
{
    cfg->direct_io = 1;
    cfg->attr_timeout = 0;
    cfg->entry_timeout = 0;
    return fuse_get_context()->private_data;
}

void usage()
{
    fprintf(stderr, "usage: codecfs [--channel NAME]... [-f] [-d] MOUNTPOINT\n"
                    "  one directory per channel (default 1_hd) with the seven datastamp files\n");
}

} // namespace

int main(int argc, char **argv)
{
    static Fs state;
    // The program's name, -s, -f, -d, the mount point and the end: each
    // option is passed once however often it is given.
    const char *fuse_argv[8];
    int fuse_argc = 0;
    bool foreground = false, debug = false;
    fuse_argv[fuse_argc++] = argv[0];
    fuse_argv[fuse_argc++] = "-s"; // one request at a time: the stamps need no locks
    const char *mountpoint = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--channel") == 0 && i + 1 < argc) {
            if (state.count == kMaxChannels || strlen(argv[i + 1]) >= sizeof state.channels[0].name ||
                strchr(argv[i + 1], '/') || argv[i + 1][0] == '\0' || argv[i + 1][0] == '.') {
                fprintf(stderr, "codecfs: bad channel name %s\n", argv[i + 1]);
                return 2;
            }
            snprintf(state.channels[state.count++].name, sizeof state.channels[0].name, "%s", argv[++i]);
        } else if (strcmp(argv[i], "-f") == 0) {
            foreground = true;
        } else if (strcmp(argv[i], "-d") == 0) {
            debug = true;
        } else if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
            usage();
            return 0;
        } else if (argv[i][0] != '-' && !mountpoint) {
            mountpoint = argv[i];
        } else {
            usage();
            return 2;
        }
    }
    if (!mountpoint) {
        usage();
        return 2;
    }
    if (state.count == 0)
        snprintf(state.channels[state.count++].name, sizeof state.channels[0].name, "1_hd");
    for (int i = 0; i < state.count; ++i) {
        state.channels[i].stamp = static_cast<codecfs::Stamp *>(calloc(1, sizeof(codecfs::Stamp)));
        if (!state.channels[i].stamp)
            return 1;
        state.channels[i].changed = time(nullptr);
    }
    if (foreground)
        fuse_argv[fuse_argc++] = "-f";
    if (debug)
        fuse_argv[fuse_argc++] = "-d";
    fuse_argv[fuse_argc++] = mountpoint;
    fuse_argv[fuse_argc] = nullptr;

    struct fuse_operations ops = {};
    ops.getattr = op_getattr;
    ops.readdir = op_readdir;
    ops.open = op_open;
    ops.truncate = op_truncate;
    ops.read = op_read;
    ops.write = op_write;
    ops.release = op_release;
    ops.init = op_init;
    printf("codecfs: mounting %s\n", mountpoint);
    fflush(stdout);
    return fuse_main(fuse_argc, const_cast<char **>(fuse_argv), &ops, &state);
}
