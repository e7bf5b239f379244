// The driver requests in an ABI-neutral form. A request arrives either in the
// camera kernel's layout (92-byte buffer descriptor, 204-byte format) or in
// the host kernel's <linux/videodev2.h> layout; the size field of the request
// code tells which, and these helpers move the fields in and out.
#ifndef VCAM_DESCRIPTORS_H
#define VCAM_DESCRIPTORS_H

#include "v4l2_abi.h"

#include <stdint.h>

namespace vcam {

enum class Abi { none, camera, host };

struct BufferDesc {
    uint32_t index = 0, type = 0, bytesused = 0, flags = 0, field = 0;
    int64_t sec = 0, usec = 0;
    uint32_t sequence = 0, memory = 0;
    uint64_t addr = 0; // offset (memory-mapped) or user pointer
    uint32_t length = 0;
};

struct FormatDesc {
    uint32_t type = 0;
    kep::abi::camera::pix_format pix{};
};

// Which layout a buffer, format or parameter request uses; none when its size
// matches neither.
Abi buffer_abi(unsigned long request);
Abi format_abi(unsigned long request);
Abi streamparm_abi(unsigned long request);

BufferDesc load_buffer(Abi abi, const void *arg);
void store_buffer(Abi abi, const BufferDesc &d, void *arg);
FormatDesc load_format(Abi abi, const void *arg);
void store_format(Abi abi, const FormatDesc &d, void *arg);

// The request's name without VIDIOC_ ("QBUF"), whatever its ABI; nullptr for
// requests the platform does not know.
const char *request_name(unsigned long request);

} // namespace vcam

#endif
