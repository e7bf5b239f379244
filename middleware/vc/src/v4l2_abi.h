// The V4L2 driver ABI that libkep_vc speaks.
//
// Two ABIs exist: the camera kernel's, whose buffer descriptor is 92 bytes
// (the standard fields at their standard 32-bit positions, then zero bytes),
// and the host kernel's own <linux/videodev2.h>. KEP_CAMERA_ABI picks the one
// the library is built for; the virtual platform includes this header to
// answer both.
#ifndef KEP_V4L2_ABI_H
#define KEP_V4L2_ABI_H

#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <stddef.h>
#include <stdint.h>

namespace kep::abi {

// Camera kernel layouts: 32-bit fields throughout, as on the 32-bit ARM target.
namespace camera {

struct timeval32 {
    int32_t tv_sec;
    int32_t tv_usec;
};

struct buffer {
    uint32_t index;
    uint32_t type;
    uint32_t bytesused;
    uint32_t flags;
    uint32_t field;
    timeval32 timestamp;
    uint8_t timecode[16];
    uint32_t sequence;
    uint32_t memory;
    union {
        uint32_t offset;
        uint32_t userptr;
    } m;
    uint32_t length;
    uint32_t reserved2;
    uint32_t reserved;
    uint8_t camera_private[24]; // sent as zero, never read by the library
};
static_assert(sizeof(buffer) == 92, "camera buffer descriptor is 92 bytes");
static_assert(offsetof(buffer, memory) == 48 && offsetof(buffer, m) == 52 && offsetof(buffer, length) == 56,
              "standard 32-bit field positions");

struct pix_format {
    uint32_t width, height, pixelformat, field, bytesperline, sizeimage;
    uint32_t colorspace, priv, flags, ycbcr_enc, quantization, xfer_func;
};

struct format {
    uint32_t type;
    union {
        pix_format pix;
        uint8_t raw_data[200];
    } fmt;
};
static_assert(sizeof(format) == 204, "camera format is 204 bytes");

struct fract {
    uint32_t numerator, denominator;
};

struct streamparm {
    uint32_t type;
    union {
        struct {
            uint32_t capability, capturemode;
            fract timeperframe;
            uint32_t extendedmode, readbuffers, reserved[4];
        } capture;
        struct {
            uint32_t capability, outputmode;
            fract timeperframe;
            uint32_t extendedmode, writebuffers, reserved[4];
        } output;
        uint8_t raw_data[200];
    } parm;
};
static_assert(sizeof(streamparm) == 204, "camera streamparm is 204 bytes");

constexpr unsigned long QUERYBUF = _IOWR('V', 9, buffer);
constexpr unsigned long QBUF = _IOWR('V', 15, buffer);
constexpr unsigned long DQBUF = _IOWR('V', 17, buffer);
constexpr unsigned long S_FMT = _IOWR('V', 5, format);
constexpr unsigned long G_PARM = _IOWR('V', 21, streamparm);
constexpr unsigned long S_PARM = _IOWR('V', 22, streamparm);

static_assert(QUERYBUF == 0xC05C5609ul && QBUF == 0xC05C560Ful && DQBUF == 0xC05C5611ul, "camera buffer requests");
static_assert(S_FMT == 0xC0CC5605ul && G_PARM == 0xC0CC5615ul && S_PARM == 0xC0CC5616ul, "camera format requests");

} // namespace camera

// Requests whose layout is the same on both ABIs (no pointers, no longs).
static_assert(sizeof(v4l2_capability) == 104 && sizeof(v4l2_cropcap) == 44 && sizeof(v4l2_crop) == 20 &&
                  sizeof(v4l2_requestbuffers) == 20 && sizeof(v4l2_control) == 8,
              "ABI-neutral request records");
constexpr unsigned long QUERYCAP = VIDIOC_QUERYCAP; // 0x80685600
constexpr unsigned long CROPCAP = VIDIOC_CROPCAP;   // 0xC02C563A
constexpr unsigned long S_CROP = VIDIOC_S_CROP;     // 0x4014563C
constexpr unsigned long REQBUFS = VIDIOC_REQBUFS;   // 0xC0145608
constexpr unsigned long STREAMON = VIDIOC_STREAMON; // 0x40045612
constexpr unsigned long STREAMOFF = VIDIOC_STREAMOFF;
constexpr unsigned long S_CTRL = VIDIOC_S_CTRL;     // 0xC008561C
static_assert(QUERYCAP == 0x80685600ul && CROPCAP == 0xC02C563Aul && S_CROP == 0x4014563Cul &&
                  REQBUFS == 0xC0145608ul && STREAMON == 0x40045612ul && STREAMOFF == 0x40045613ul &&
                  S_CTRL == 0xC008561Cul,
              "request codes");

// The ABI the library is built for.
#if defined(KEP_CAMERA_ABI)
static_assert(sizeof(void *) == 4, "the camera ABI carries user pointers in 32 bits");
using v4l2_buffer_t = camera::buffer;
using v4l2_format_t = camera::format;
using v4l2_streamparm_t = camera::streamparm;
constexpr unsigned long QUERYBUF = camera::QUERYBUF;
constexpr unsigned long QBUF = camera::QBUF;
constexpr unsigned long DQBUF = camera::DQBUF;
constexpr unsigned long S_FMT = camera::S_FMT;
constexpr unsigned long G_PARM = camera::G_PARM;
constexpr unsigned long S_PARM = camera::S_PARM;
#else
using v4l2_buffer_t = ::v4l2_buffer;
using v4l2_format_t = ::v4l2_format;
using v4l2_streamparm_t = ::v4l2_streamparm;
constexpr unsigned long QUERYBUF = VIDIOC_QUERYBUF;
constexpr unsigned long QBUF = VIDIOC_QBUF;
constexpr unsigned long DQBUF = VIDIOC_DQBUF;
constexpr unsigned long S_FMT = VIDIOC_S_FMT;
constexpr unsigned long G_PARM = VIDIOC_G_PARM;
constexpr unsigned long S_PARM = VIDIOC_S_PARM;
#endif

// Queue types, memory kinds, capabilities.
constexpr uint32_t BUF_TYPE_CAPTURE = 1;
constexpr uint32_t BUF_TYPE_OUTPUT = 2;
constexpr uint32_t MEMORY_MMAP = 1;
constexpr uint32_t MEMORY_USERPTR = 2;
constexpr uint32_t FIELD_INTERLACED = 4;
constexpr uint32_t CAP_VIDEO_CAPTURE = 0x00000001;
constexpr uint32_t CAP_READWRITE = 0x01000000;
constexpr uint32_t CAP_STREAMING = 0x04000000;

} // namespace kep::abi

#endif
