// What the stat wrappers need from the platform. Kept free of system headers
// so that the wrappers can declare the stat calls with their own prototypes.
#ifndef VCAM_HOOKS_H
#define VCAM_HOOKS_H

namespace vcam::hooks {

// True for a descriptor of a node.
bool node_fd(int fd);

// The structure a stat call fills: the C library's plain and large-file
// ones, the 64-bit-time one of 32-bit programs, and statx.
enum class Layout { plain, large, time64, statx };

// What a stat call looks at in place of the program's path: /dev/null for a
// node (a character device, whose number is then replaced by the node's), a
// real entry of the same kind standing in for one of the platform's sysfs
// entries, or the real path one of its sysfs links leads to.
struct StatTarget {
    const char *path = nullptr;
    bool node = false; // report the node's device number
    unsigned major = 0, minor = 0;
    char text[4096];
};

// False when the path (or descriptor) is none of the platform's: the call
// goes ahead unchanged. `follow`: a link named last is followed.
bool stat_target(const char *path, bool follow, StatTarget *t);
bool stat_target_fd(int fd, StatTarget *t);
// After the C library's call on t->path: the node's number put into `buf`
// (null for access()). Returns `result`.
int stat_finish(StatTarget *t, void *buf, Layout layout, int result);

// Where the device number sits in each layout (stat_layout*.cpp).
unsigned long rdev_offset(Layout layout);
unsigned long rdev_offset_time64();
unsigned long statx_rdev_offset(); // stx_rdev_major, then stx_rdev_minor

} // namespace vcam::hooks

#define VCAM_EXPORT __attribute__((visibility("default")))

#endif
