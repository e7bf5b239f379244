#include "descriptors.h"

#include <string.h>

namespace vcam {

namespace cam = kep::abi::camera;

Abi buffer_abi(unsigned long request)
{
    unsigned size = _IOC_SIZE(request);
    if (size == sizeof(cam::buffer))
        return Abi::camera;
    if (size == sizeof(v4l2_buffer))
        return Abi::host;
    return Abi::none;
}

Abi format_abi(unsigned long request)
{
    unsigned size = _IOC_SIZE(request);
    // On 32-bit hosts both layouts are the same 204 bytes.
    if (size == sizeof(cam::format))
        return Abi::camera;
    if (size == sizeof(v4l2_format))
        return Abi::host;
    return Abi::none;
}

Abi streamparm_abi(unsigned long request)
{
    unsigned size = _IOC_SIZE(request);
    if (size == sizeof(cam::streamparm))
        return Abi::camera;
    if (size == sizeof(v4l2_streamparm))
        return Abi::host;
    return Abi::none;
}

BufferDesc load_buffer(Abi abi, const void *arg)
{
    BufferDesc d;
    if (abi == Abi::camera) {
        cam::buffer b;
        memcpy(&b, arg, sizeof b);
        d = BufferDesc{b.index, b.type, b.bytesused, b.flags, b.field, b.timestamp.tv_sec, b.timestamp.tv_usec,
                       b.sequence, b.memory, b.m.userptr, b.length};
    } else {
        v4l2_buffer b;
        memcpy(&b, arg, sizeof b);
        d = BufferDesc{b.index,    b.type,   b.bytesused, b.flags, b.field, b.timestamp.tv_sec, b.timestamp.tv_usec,
                       b.sequence, b.memory, b.memory == V4L2_MEMORY_USERPTR ? b.m.userptr : b.m.offset, b.length};
    }
    return d;
}

void store_buffer(Abi abi, const BufferDesc &d, void *arg)
{
    if (abi == Abi::camera) {
        cam::buffer b;
        memset(&b, 0, sizeof b);
        b.index = d.index;
        b.type = d.type;
        b.bytesused = d.bytesused;
        b.flags = d.flags;
        b.field = d.field;
        b.timestamp.tv_sec = static_cast<int32_t>(d.sec);
        b.timestamp.tv_usec = static_cast<int32_t>(d.usec);
        b.sequence = d.sequence;
        b.memory = d.memory;
        b.m.userptr = static_cast<uint32_t>(d.addr);
        b.length = d.length;
        memcpy(arg, &b, sizeof b);
    } else {
        v4l2_buffer b;
        memset(&b, 0, sizeof b);
        b.index = d.index;
        b.type = d.type;
        b.bytesused = d.bytesused;
        b.flags = d.flags;
        b.field = d.field;
        b.timestamp.tv_sec = static_cast<decltype(b.timestamp.tv_sec)>(d.sec);
        b.timestamp.tv_usec = static_cast<decltype(b.timestamp.tv_usec)>(d.usec);
        b.sequence = d.sequence;
        b.memory = d.memory;
        if (d.memory == V4L2_MEMORY_USERPTR)
            b.m.userptr = static_cast<unsigned long>(d.addr);
        else
            b.m.offset = static_cast<uint32_t>(d.addr);
        b.length = d.length;
        memcpy(arg, &b, sizeof b);
    }
}

FormatDesc load_format(Abi abi, const void *arg)
{
    FormatDesc d;
    const unsigned char *p = static_cast<const unsigned char *>(arg);
    memcpy(&d.type, p, sizeof d.type);
    size_t at = abi == Abi::camera ? offsetof(cam::format, fmt) : offsetof(v4l2_format, fmt);
    memcpy(&d.pix, p + at, sizeof d.pix);
    return d;
}

void store_format(Abi abi, const FormatDesc &d, void *arg)
{
    unsigned char *p = static_cast<unsigned char *>(arg);
    memcpy(p, &d.type, sizeof d.type);
    size_t at = abi == Abi::camera ? offsetof(cam::format, fmt) : offsetof(v4l2_format, fmt);
    memcpy(p + at, &d.pix, sizeof d.pix);
}

const char *request_name(unsigned long request)
{
    if (_IOC_TYPE(request) != 'V')
        return nullptr;
    switch (_IOC_NR(request)) {
    case 0: return "QUERYCAP";
    case 2: return "ENUM_FMT";
    case 4: return "G_FMT";
    case 5: return "S_FMT";
    case 8: return "REQBUFS";
    case 9: return "QUERYBUF";
    case 15: return "QBUF";
    case 17: return "DQBUF";
    case 18: return "STREAMON";
    case 19: return "STREAMOFF";
    case 21: return "G_PARM";
    case 22: return "S_PARM";
    case 27: return "G_CTRL";
    case 28: return "S_CTRL";
    case 58: return "CROPCAP";
    case 59: return "G_CROP";
    case 60: return "S_CROP";
    case 64: return "TRY_FMT";
    case 71: return "G_EXT_CTRLS";
    case 72: return "S_EXT_CTRLS";
    case 92: return "CREATE_BUFS";
    default: return nullptr;
    }
}

} // namespace vcam
