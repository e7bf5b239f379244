#include "descriptors.h"

#include <linux/media.h>
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
    if (_IOC_TYPE(request) == '|') {
        // The media controller's requests.
        static const struct {
            unsigned long code;
            const char *name;
        } media[] = {{MEDIA_IOC_DEVICE_INFO, "MEDIA_IOC_DEVICE_INFO"},   {MEDIA_IOC_ENUM_ENTITIES, "MEDIA_IOC_ENUM_ENTITIES"},
                     {MEDIA_IOC_ENUM_LINKS, "MEDIA_IOC_ENUM_LINKS"},     {MEDIA_IOC_SETUP_LINK, "MEDIA_IOC_SETUP_LINK"},
                     {MEDIA_IOC_G_TOPOLOGY, "MEDIA_IOC_G_TOPOLOGY"},     {MEDIA_IOC_REQUEST_ALLOC, "MEDIA_IOC_REQUEST_ALLOC"}};
        for (const auto &m : media)
            if (m.code == request)
                return m.name;
        return nullptr;
    }
    if (_IOC_TYPE(request) != 'V')
        return nullptr;
    // Buffer, format and parameter requests come in either layout; every
    // other request must be exactly the host kernel's code, as the kernel
    // matches them (a known number with another size is no request).
    struct Known {
        unsigned long code;
        const char *name;
        Abi (*layout)(unsigned long); // the layouts of a request that has two
    };
    static const Known known[] = {
        {VIDIOC_QUERYCAP, "QUERYCAP", nullptr},
        {VIDIOC_ENUM_FMT, "ENUM_FMT", nullptr},
        {VIDIOC_G_FMT, "G_FMT", &format_abi},
        {VIDIOC_S_FMT, "S_FMT", &format_abi},
        {VIDIOC_REQBUFS, "REQBUFS", nullptr},
        {VIDIOC_QUERYBUF, "QUERYBUF", &buffer_abi},
        {VIDIOC_QBUF, "QBUF", &buffer_abi},
        {VIDIOC_EXPBUF, "EXPBUF", nullptr},
        {VIDIOC_DQBUF, "DQBUF", &buffer_abi},
        {VIDIOC_STREAMON, "STREAMON", nullptr},
        {VIDIOC_STREAMOFF, "STREAMOFF", nullptr},
        {VIDIOC_G_PARM, "G_PARM", &streamparm_abi},
        {VIDIOC_S_PARM, "S_PARM", &streamparm_abi},
        {VIDIOC_G_STD, "G_STD", nullptr},
        {VIDIOC_S_STD, "S_STD", nullptr},
        {VIDIOC_ENUMSTD, "ENUMSTD", nullptr},
        {VIDIOC_ENUMINPUT, "ENUMINPUT", nullptr},
        {VIDIOC_G_CTRL, "G_CTRL", nullptr},
        {VIDIOC_S_CTRL, "S_CTRL", nullptr},
        {VIDIOC_QUERYCTRL, "QUERYCTRL", nullptr},
        {VIDIOC_QUERYMENU, "QUERYMENU", nullptr},
        {VIDIOC_G_INPUT, "G_INPUT", nullptr},
        {VIDIOC_S_INPUT, "S_INPUT", nullptr},
        {VIDIOC_CROPCAP, "CROPCAP", nullptr},
        {VIDIOC_G_CROP, "G_CROP", nullptr},
        {VIDIOC_S_CROP, "S_CROP", nullptr},
        {VIDIOC_QUERYSTD, "QUERYSTD", nullptr},
        {VIDIOC_TRY_FMT, "TRY_FMT", &format_abi},
        {VIDIOC_G_PRIORITY, "G_PRIORITY", nullptr},
        {VIDIOC_S_PRIORITY, "S_PRIORITY", nullptr},
        {VIDIOC_LOG_STATUS, "LOG_STATUS", nullptr},
        {VIDIOC_G_EXT_CTRLS, "G_EXT_CTRLS", nullptr},
        {VIDIOC_S_EXT_CTRLS, "S_EXT_CTRLS", nullptr},
        {VIDIOC_TRY_EXT_CTRLS, "TRY_EXT_CTRLS", nullptr},
        {VIDIOC_ENUM_FRAMESIZES, "ENUM_FRAMESIZES", nullptr},
        {VIDIOC_ENUM_FRAMEINTERVALS, "ENUM_FRAMEINTERVALS", nullptr},
        {VIDIOC_ENCODER_CMD, "ENCODER_CMD", nullptr},
        {VIDIOC_TRY_ENCODER_CMD, "TRY_ENCODER_CMD", nullptr},
        {VIDIOC_DQEVENT, "DQEVENT", nullptr},
        {VIDIOC_SUBSCRIBE_EVENT, "SUBSCRIBE_EVENT", nullptr},
        {VIDIOC_UNSUBSCRIBE_EVENT, "UNSUBSCRIBE_EVENT", nullptr},
        {VIDIOC_CREATE_BUFS, "CREATE_BUFS", nullptr},
        {VIDIOC_PREPARE_BUF, "PREPARE_BUF", &buffer_abi},
        {VIDIOC_G_SELECTION, "G_SELECTION", nullptr},
        {VIDIOC_S_SELECTION, "S_SELECTION", nullptr},
        {VIDIOC_DECODER_CMD, "DECODER_CMD", nullptr},
        {VIDIOC_TRY_DECODER_CMD, "TRY_DECODER_CMD", nullptr},
        {VIDIOC_QUERY_EXT_CTRL, "QUERY_EXT_CTRL", nullptr},
    };
    for (const Known &k : known) {
        if (_IOC_NR(k.code) != _IOC_NR(request))
            continue;
        if (request == k.code)
            return k.name;
        if (k.layout != nullptr && _IOC_DIR(request) == _IOC_DIR(k.code) && k.layout(request) != Abi::none)
            return k.name;
        return nullptr;
    }
    return nullptr;
}

} // namespace vcam
