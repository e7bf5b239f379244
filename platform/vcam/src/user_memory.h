// Copies to and from memory a program names by address in a request (a
// control's payload, an array of controls), the way the kernel does: an
// address the program cannot read or write is EFAULT, not a crash.
#ifndef VCAM_USER_MEMORY_H
#define VCAM_USER_MEMORY_H

#include <stddef.h>

namespace vcam {

// Copies n bytes where either side may be the program's: 0 or -EFAULT.
int copy_user(void *dst, const void *src, size_t n);

} // namespace vcam

#endif
