// What the stat wrappers need from the platform. Kept free of system headers
// so that the wrappers can declare the stat calls with their own prototypes.
#ifndef VCAM_HOOKS_H
#define VCAM_HOOKS_H

namespace vcam::hooks {

// True for a node path (and counts the look-up as a "stat").
bool stat_node(const char *path);
// True for a descriptor of a node.
bool node_fd(int fd);

} // namespace vcam::hooks

#define VCAM_EXPORT __attribute__((visibility("default")))

#endif
