// Where the C library's stat structures keep the device number, for the
// wrappers that fill them through the caller's own variant of the call. This
// file sees the plain and large-file layouts of the system headers.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include "hooks.h"

#include <stddef.h>
#include <sys/stat.h>

namespace vcam::hooks {

unsigned long rdev_offset(Layout layout)
{
    switch (layout) {
    case Layout::plain: return offsetof(struct stat, st_rdev);
    case Layout::large: return offsetof(struct stat64, st_rdev);
    case Layout::time64: return rdev_offset_time64();
    case Layout::statx: return statx_rdev_offset();
    }
    return 0;
}

unsigned long statx_rdev_offset()
{
    static_assert(offsetof(struct statx, stx_rdev_minor) == offsetof(struct statx, stx_rdev_major) + 4,
                  "the minor number follows the major one");
    return offsetof(struct statx, stx_rdev_major);
}

} // namespace vcam::hooks
