// The stat layout of programs built with 64-bit time (32-bit hosts; the same
// as the large-file one elsewhere).
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#define _FILE_OFFSET_BITS 64
#define _TIME_BITS 64
#include "hooks.h"

#include <stddef.h>
#include <sys/stat.h>

namespace vcam::hooks {

unsigned long rdev_offset_time64()
{
    return offsetof(struct stat, st_rdev);
}

} // namespace vcam::hooks
