// Internal helpers shared by the libkep_vc sources: driver requests, the
// library's three message shapes and its consistency assertion.
#ifndef KEP_VC_LIB_H
#define KEP_VC_LIB_H

#include "kep_vc.h"
#include "v4l2_abi.h"

namespace kep {

// Issues a driver request again for as long as it is interrupted by a signal.
int ioctl_retry(int fd, unsigned long request, void *arg);

// "<step>:<line>: " followed by perror(word).
void perror_at(const char *step, int line, const char *word);

// "<what>:<line>: failed\n" on standard error.
void failed_at(const char *what, int line);

// Setup failures the stream cannot live without end the process with status 1.
[[noreturn]] void die();

// The library's internal-consistency check, in the C library's own words,
// naming the source kep_vc_lib, the line and the step.
[[noreturn]] void assert_fail(const char *expr, int line, const char *step);

} // namespace kep

#define KEP_ASSERT(expr, step) ((expr) ? (void)0 : kep::assert_fail(#expr, __LINE__, (step)))

#endif
