// What the wrapper files share: the next definition of a wrapped call, and
// the platform's answers for paths (nodes and their sysfs entries).
#ifndef VCAM_WRAPPERS_H
#define VCAM_WRAPPERS_H

#include "hooks.h"
#include "libc.h"

#include <string>

namespace vcam::wrappers {

template <typename F> F cached(F &slot, const char *name)
{
    F f = __atomic_load_n(&slot, __ATOMIC_ACQUIRE);
    if (f == nullptr) {
        f = reinterpret_cast<F>(libc::next_symbol(name));
        __atomic_store_n(&slot, f, __ATOMIC_RELEASE);
    }
    return f;
}

// An open() of a path: a node's descriptor, a descriptor holding one of the
// platform's sysfs files, or -1 with errno set; kPass when the C library
// opens it: the path itself, or `*use` when that is not empty (where one of
// the platform's sysfs links led).
constexpr int kPass = -2;
int open_path(const char *path, int flags, std::string *use);

// The sysfs part of open_path() and of hooks::stat_target().
int sys_open(const char *path, int flags, std::string *use);
bool sys_stat_target(const char *path, bool follow, hooks::StatTarget *t);

} // namespace vcam::wrappers

// Declares real_<name>, the next definition of name. The type goes last
// because it holds commas.
#define REAL(name, ...)                                                                                       \
    using type_##name = __VA_ARGS__;                                                                         \
    static type_##name slot_##name = nullptr;                                                                \
    type_##name real_##name = vcam::wrappers::cached(slot_##name, #name);

#endif
