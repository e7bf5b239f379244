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

// One-purpose driver requests; each returns the request's result with errno
// set, and reports nothing.
int set_ctrl(int fd, uint32_t id, int32_t value);
// 1/fps seconds per frame on either queue.
int set_time_per_frame(int fd, uint32_t type, uint32_t fps);
int set_pix_format(int fd, uint32_t type, uint32_t width, uint32_t height, uint32_t fourcc);
// REQBUFS; *granted receives the driver's count even when the request fails.
int request_buffers(int fd, uint32_t type, uint32_t memory, uint32_t count, uint32_t *granted);

// QUERYBUF and a shared read-write mapping of one MMAP buffer into *slot,
// which is left alone unless the mapping succeeds.
enum class MapResult { mapped, query_failed, mmap_failed };
MapResult map_buffer(int fd, uint32_t type, uint32_t index, kep_buffer *slot);

// Unmaps the mapped entries of a table and clears them; at the first that
// fails, "munmap" on standard error and -1 (errno from munmap).
int unmap_buffers(kep_buffer *table, uint32_t count);

} // namespace kep

#define KEP_ASSERT(expr, step) ((expr) ? (void)0 : kep::assert_fail(#expr, __LINE__, (step)))

#endif
