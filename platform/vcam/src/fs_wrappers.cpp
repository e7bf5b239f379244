// What tools read to tell what a node is: the sysfs entries of a video4linux
// device (files opened or fopen()ed, links read or resolved, directories
// listed), and the nodes themselves in a listing of /dev. The platform's
// entries are answered here; every other path goes to the C library as it is.
#undef _FORTIFY_SOURCE
#include "platform.h"
#include "wrappers.h"

#include <atomic>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <mutex>
#include <set>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

using vcam::Platform;
using vcam::SysTree;

namespace {

// Stand-ins a stat of a sysfs entry looks at instead: real entries of the
// same kinds that every system has.
constexpr const char *kDirStandIn = "/";
constexpr const char *kFileStandIn = "/proc/self/stat";
constexpr const char *kLinkStandIn = "/proc/self/exe";

// A path under /sys, once the platform is there to answer it.
bool sys_path(const char *path)
{
    return SysTree::may_hold(path) && Platform::try_get() != nullptr;
}

// A descriptor that reads a sysfs file's contents.
int contents_fd(const std::string &text, int flags)
{
    if ((flags & O_ACCMODE) != O_RDONLY || (flags & (O_TRUNC | O_CREAT)) != 0) {
        errno = EACCES; // the entries are read-only
        return -1;
    }
    if (flags & O_DIRECTORY) {
        errno = ENOTDIR;
        return -1;
    }
    int fd = memfd_create("vcam-sysfs", (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0);
    if (fd < 0)
        return -1;
    if (vcam::libc::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        lseek(fd, 0, SEEK_SET) != 0) {
        int e = errno;
        vcam::libc::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

// A directory listing with the platform's entries in it.
struct VirtualDir {
    DIR *real = nullptr; // the real directory beneath, if any
    bool real_done = false;
    std::vector<Platform::DirItem> ours; // "." and ".." first when there is no real one
    size_t next = 0;
    long pos = 0; // entries given so far, for telldir()
    dirent ent;
    dirent64 ent64;
};

std::mutex g_dirs_mu;
std::set<void *> g_dirs;
std::atomic<int> g_dir_count{0};

VirtualDir *virtual_dir(void *d)
{
    if (d == nullptr || g_dir_count.load(std::memory_order_relaxed) == 0)
        return nullptr;
    std::lock_guard<std::mutex> lock(g_dirs_mu);
    return g_dirs.count(d) != 0 ? static_cast<VirtualDir *>(d) : nullptr;
}

bool shadowed(const VirtualDir *v, const char *name)
{
    for (const Platform::DirItem &item : v->ours)
        if (item.name == name)
            return true;
    return false;
}

// The next entry in either dirent layout; `real_next` reads the real
// directory with the matching call.
template <typename Ent, typename Next> Ent *next_entry(VirtualDir *v, Ent *ent, Next real_next)
{
    while (v->real != nullptr && !v->real_done) {
        Ent *e = real_next(v->real);
        if (e == nullptr) {
            v->real_done = true;
            break;
        }
        if (shadowed(v, e->d_name))
            continue; // the platform's entry of that name is the one listed
        ++v->pos;
        return e;
    }
    if (v->next >= v->ours.size())
        return nullptr;
    const Platform::DirItem &item = v->ours[v->next++];
    memset(ent, 0, sizeof *ent);
    ent->d_ino = 0x7600000 + v->next; // never 0, which some readers skip
    ent->d_off = ++v->pos;
    ent->d_reclen = sizeof *ent;
    ent->d_type = item.type;
    strncpy(ent->d_name, item.name.c_str(), sizeof ent->d_name - 1);
    return ent;
}

} // namespace

namespace vcam::wrappers {

int sys_open(const char *path, int flags, std::string *use)
{
    if (!sys_path(path))
        return kPass;
    std::string resolved;
    SysTree::Entry e = Platform::get().sys_lookup(path, (flags & O_NOFOLLOW) == 0, &resolved);
    if (e.kind == SysTree::Kind::file)
        return contents_fd(e.text, flags);
    if (e.kind == SysTree::Kind::link) {
        errno = ELOOP; // O_NOFOLLOW on a link
        return -1;
    }
    if (resolved != path)
        *use = resolved;
    return kPass;
}

bool sys_stat_target(const char *path, bool follow, hooks::StatTarget *t)
{
    if (!sys_path(path))
        return false;
    std::string resolved;
    SysTree::Entry e = Platform::get().sys_lookup(path, follow, &resolved);
    switch (e.kind) {
    case SysTree::Kind::file: t->path = kFileStandIn; return true;
    case SysTree::Kind::link: t->path = kLinkStandIn; return true;
    case SysTree::Kind::dir:
        if (!e.overlay || !libc::exists(resolved.c_str())) {
            t->path = kDirStandIn;
            return true;
        }
        break;
    case SysTree::Kind::none: break;
    }
    if (resolved == path || resolved.size() >= sizeof t->text)
        return false;
    memcpy(t->text, resolved.c_str(), resolved.size() + 1);
    t->path = t->text;
    return true;
}

} // namespace vcam::wrappers

namespace {

FILE *fopen_common(const char *path, const char *mode, FILE *(*real)(const char *, const char *))
{
    if (!sys_path(path) || mode == nullptr)
        return real(path, mode);
    int flags = strchr(mode, '+') ? O_RDWR : mode[0] == 'r' ? O_RDONLY : O_WRONLY | O_CREAT;
    if (strchr(mode, 'e'))
        flags |= O_CLOEXEC;
    std::string use;
    int fd = vcam::wrappers::sys_open(path, flags, &use);
    if (fd == vcam::wrappers::kPass)
        return real(use.empty() ? path : use.c_str(), mode);
    if (fd < 0)
        return nullptr;
    FILE *f = fdopen(fd, mode);
    if (f == nullptr) {
        int e = errno;
        vcam::libc::close(fd);
        errno = e;
    }
    return f;
}

ssize_t readlink_common(const char *path, char *buf, size_t size, ssize_t (*real)(const char *, char *, size_t))
{
    if (!sys_path(path))
        return real(path, buf, size);
    std::string resolved;
    SysTree::Entry e = Platform::get().sys_lookup(path, false, &resolved);
    if (e.kind == SysTree::Kind::link) {
        size_t n = e.text.size() < size ? e.text.size() : size;
        memcpy(buf, e.text.data(), n);
        return static_cast<ssize_t>(n);
    }
    if (e.kind != SysTree::Kind::none) {
        errno = EINVAL; // not a link
        return -1;
    }
    return real(resolved.c_str(), buf, size);
}

char *realpath_common(const char *path, char *out, char *(*real)(const char *, char *))
{
    std::string found;
    Platform *p = path != nullptr ? Platform::try_get() : nullptr;
    if (p != nullptr && p->is_node(path)) {
        found = path; // the node is where the program looks for it
    } else if (sys_path(path)) {
        SysTree::Entry e = p->sys_lookup(path, true, &found);
        if (e.kind == SysTree::Kind::none)
            return real(found.c_str(), out);
    } else {
        return real(path, out);
    }
    if (found.size() >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    if (out == nullptr)
        return strdup(found.c_str());
    memcpy(out, found.c_str(), found.size() + 1);
    return out;
}

// True for a node or one of the platform's sysfs entries; otherwise `use` is
// the path for the C library (empty: the path itself).
bool platform_entry(const char *path, bool follow, std::string *use)
{
    Platform *p = path != nullptr ? Platform::try_get() : nullptr;
    if (p == nullptr)
        return false;
    if (p->is_node(path) || p->is_proc_entry(path))
        return true;
    if (!sys_path(path))
        return false;
    std::string resolved;
    if (p->sys_lookup(path, follow, &resolved).kind != SysTree::Kind::none)
        return true;
    if (resolved != path)
        *use = resolved;
    return false;
}

// Extended attributes: the platform's entries have none.
ssize_t getxattr_common(const char *path, const char *name, void *value, size_t size, bool follow,
                        ssize_t (*real)(const char *, const char *, void *, size_t))
{
    std::string use;
    if (!platform_entry(path, follow, &use))
        return real(use.empty() ? path : use.c_str(), name, value, size);
    errno = ENODATA;
    return -1;
}

ssize_t listxattr_common(const char *path, char *list, size_t size, bool follow,
                         ssize_t (*real)(const char *, char *, size_t))
{
    std::string use;
    if (!platform_entry(path, follow, &use))
        return real(use.empty() ? path : use.c_str(), list, size);
    return 0;
}

} // namespace

extern "C" {

VCAM_EXPORT ssize_t getxattr(const char *path, const char *name, void *value, size_t size)
{
    REAL(getxattr, ssize_t (*)(const char *, const char *, void *, size_t))
    return getxattr_common(path, name, value, size, true, real_getxattr);
}

VCAM_EXPORT ssize_t lgetxattr(const char *path, const char *name, void *value, size_t size)
{
    REAL(lgetxattr, ssize_t (*)(const char *, const char *, void *, size_t))
    return getxattr_common(path, name, value, size, false, real_lgetxattr);
}

VCAM_EXPORT ssize_t listxattr(const char *path, char *list, size_t size)
{
    REAL(listxattr, ssize_t (*)(const char *, char *, size_t))
    return listxattr_common(path, list, size, true, real_listxattr);
}

VCAM_EXPORT ssize_t llistxattr(const char *path, char *list, size_t size)
{
    REAL(llistxattr, ssize_t (*)(const char *, char *, size_t))
    return listxattr_common(path, list, size, false, real_llistxattr);
}

VCAM_EXPORT FILE *fopen(const char *path, const char *mode)
{
    REAL(fopen, FILE *(*)(const char *, const char *))
    return fopen_common(path, mode, real_fopen);
}

VCAM_EXPORT FILE *fopen64(const char *path, const char *mode)
{
    REAL(fopen64, FILE *(*)(const char *, const char *))
    return fopen_common(path, mode, real_fopen64);
}

VCAM_EXPORT ssize_t readlink(const char *path, char *buf, size_t size)
{
    REAL(readlink, ssize_t (*)(const char *, char *, size_t))
    return readlink_common(path, buf, size, real_readlink);
}

VCAM_EXPORT ssize_t __readlink_chk(const char *path, char *buf, size_t size, size_t buflen)
{
    if (size > buflen) {
        REAL(__readlink_chk, ssize_t (*)(const char *, char *, size_t, size_t))
        return real___readlink_chk(path, buf, size, buflen); // reports the overflow
    }
    return readlink(path, buf, size);
}

VCAM_EXPORT ssize_t readlinkat(int dirfd, const char *path, char *buf, size_t size)
{
    REAL(readlinkat, ssize_t (*)(int, const char *, char *, size_t))
    if (!sys_path(path))
        return real_readlinkat(dirfd, path, buf, size);
    REAL(readlink, ssize_t (*)(const char *, char *, size_t))
    return readlink_common(path, buf, size, real_readlink); // absolute: dirfd plays no part
}

VCAM_EXPORT char *realpath(const char *path, char *out)
{
    REAL(realpath, char *(*)(const char *, char *))
    return realpath_common(path, out, real_realpath);
}

VCAM_EXPORT char *__realpath_chk(const char *path, char *out, size_t outlen)
{
    if (out != nullptr && outlen < PATH_MAX) {
        REAL(__realpath_chk, char *(*)(const char *, char *, size_t))
        return real___realpath_chk(path, out, outlen); // reports the overflow
    }
    return realpath(path, out);
}

VCAM_EXPORT char *canonicalize_file_name(const char *path)
{
    REAL(realpath, char *(*)(const char *, char *))
    return realpath_common(path, nullptr, real_realpath);
}

VCAM_EXPORT DIR *opendir(const char *path)
{
    REAL(opendir, DIR *(*)(const char *))
    const char *p = path; // declared never null, yet programs pass null
    if (p == nullptr || p[0] != '/')
        return real_opendir(path);
    Platform *platform = Platform::try_get();
    if (platform == nullptr)
        return real_opendir(path);
    std::vector<Platform::DirItem> items;
    bool overlay = false;
    std::string real;
    if (!platform->list_dir(path, &items, &overlay, &real)) {
        if (sys_path(path) && real != path && !real.empty())
            return real_opendir(real.c_str()); // through one of the platform's links
        return real_opendir(path);
    }
    VirtualDir *v = new VirtualDir();
    if (overlay)
        v->real = real_opendir(real.c_str());
    if (v->real == nullptr)
        v->ours.push_back({".", DT_DIR}), v->ours.push_back({"..", DT_DIR});
    v->ours.insert(v->ours.end(), items.begin(), items.end());
    std::lock_guard<std::mutex> lock(g_dirs_mu);
    g_dirs.insert(v);
    g_dir_count.fetch_add(1);
    return reinterpret_cast<DIR *>(v);
}

VCAM_EXPORT int closedir(DIR *d)
{
    REAL(closedir, int (*)(DIR *))
    VirtualDir *v = virtual_dir(d);
    if (v == nullptr)
        return real_closedir(d);
    {
        std::lock_guard<std::mutex> lock(g_dirs_mu);
        g_dirs.erase(v);
        g_dir_count.fetch_sub(1);
    }
    int r = v->real != nullptr ? real_closedir(v->real) : 0;
    delete v;
    return r;
}

VCAM_EXPORT dirent *readdir(DIR *d)
{
    REAL(readdir, dirent *(*)(DIR *))
    VirtualDir *v = virtual_dir(d);
    return v == nullptr ? real_readdir(d) : next_entry(v, &v->ent, real_readdir);
}

VCAM_EXPORT dirent64 *readdir64(DIR *d)
{
    REAL(readdir64, dirent64 *(*)(DIR *))
    VirtualDir *v = virtual_dir(d);
    return v == nullptr ? real_readdir64(d) : next_entry(v, &v->ent64, real_readdir64);
}

VCAM_EXPORT void rewinddir(DIR *d)
{
    REAL(rewinddir, void (*)(DIR *))
    VirtualDir *v = virtual_dir(d);
    if (v == nullptr)
        return real_rewinddir(d);
    if (v->real != nullptr)
        real_rewinddir(v->real);
    v->real_done = false;
    v->next = 0;
    v->pos = 0;
}

VCAM_EXPORT long telldir(DIR *d)
{
    REAL(telldir, long (*)(DIR *))
    VirtualDir *v = virtual_dir(d);
    return v == nullptr ? real_telldir(d) : v->pos;
}

VCAM_EXPORT void seekdir(DIR *d, long pos)
{
    REAL(seekdir, void (*)(DIR *, long))
    VirtualDir *v = virtual_dir(d);
    if (v == nullptr)
        return real_seekdir(d, pos);
    rewinddir(d);
    REAL(readdir64, dirent64 *(*)(DIR *))
    while (v->pos < pos && next_entry(v, &v->ent64, real_readdir64) != nullptr) {
    }
}

VCAM_EXPORT int dirfd(DIR *d)
{
    REAL(dirfd, int (*)(DIR *))
    VirtualDir *v = virtual_dir(d);
    if (v == nullptr)
        return real_dirfd(d);
    if (v->real != nullptr)
        return real_dirfd(v->real);
    errno = ENOTSUP; // a directory of the platform's alone has no descriptor
    return -1;
}

} // extern "C"
