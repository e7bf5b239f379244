// ISP capture stream: format and buffer negotiation on the ISP capture node,
// then one frame at a time lent to the caller between read and reset.
//
// Buffer ownership: kep_isp_init builds isp_buffers (driver mappings, or
// page-aligned allocations handed to the driver by user pointer, or one read
// buffer); kep_isp_uninit releases them. While streaming, every buffer is
// queued in the driver except entry isp_index after a successful read, and
// the pictures the encoder still reads. The table's book says which is where,
// so a buffer is given back exactly once: a read that took nothing leaves
// nothing to give back, a buffer the driver refused is queued again by the
// next read, and one the encoder reads goes back when the encoder is done.
#include "isp.h"

#include "buffer_table.h"
#include "kep_vc_lib.h"

#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace abi = kep::abi;

namespace {

bool streaming(const kep_m2m *m2m)
{
    return m2m->isp_io == KEP_IO_MMAP || m2m->isp_io == KEP_IO_USERPTR;
}

[[noreturn]] void out_of_memory()
{
    fprintf(stderr, "Out of memory\n");
    kep::die();
}

// Bytes per line at least 3/2 of the width (12 bits per pixel), the frame at
// least bytes-per-line times the height; larger driver values win. Computed
// wide: the driver's answer is not trusted to be small.
uint64_t frame_size(const abi::v4l2_format_t &fmt)
{
    uint64_t bytesperline = fmt.fmt.pix.bytesperline;
    uint64_t min = uint64_t(fmt.fmt.pix.width) * 3 / 2;
    if (bytesperline < min)
        bytesperline = min;
    uint64_t size = fmt.fmt.pix.sizeimage;
    min = bytesperline * fmt.fmt.pix.height;
    if (size < min)
        size = min;
    return size;
}

// The book's flag: the queue streams, so buffers the library holds go back.
constexpr uint32_t ISP_STREAMING = 1;

// The table has one entry per granted buffer; a zero count still gets a
// valid (unused) table so that an empty grant is not mistaken for no memory.
kep_buffer *new_table(uint32_t count)
{
    kep_buffer *table = kep::table_new(count);
    if (!table)
        out_of_memory();
    return table;
}

// Where buffer i is, or null outside the table (and in read mode, where the
// one buffer never leaves the library).
uint8_t *state_of(kep_m2m *m2m, uint32_t i)
{
    return streaming(m2m) ? kep::table_state(m2m->isp_buffers, i) : nullptr;
}

bool any_queued(kep_m2m *m2m)
{
    uint32_t count = kep::table_count(m2m->isp_buffers);
    for (uint32_t i = 0; i < count; ++i)
        if (*kep::table_state(m2m->isp_buffers, i) & kep::BUF_QUEUED)
            return true;
    return false;
}

// Buffers the library holds while the stream runs (a requeue the driver
// refused, a picture the encoder gave back) go to the driver again.
void settle(kep_m2m *m2m)
{
    kep::TableBook *book = streaming(m2m) ? kep::table_book(m2m->isp_buffers) : nullptr;
    if (!book || !(book->flags & ISP_STREAMING))
        return;
    for (uint32_t i = 0; i < book->count; ++i)
        if (*kep::table_state(m2m->isp_buffers, i) == 0)
            kep_isp_q_index(m2m, i);
}

// A blocking dequeue with no buffer in the driver would wait for ever.
bool nothing_to_wait_for(kep_m2m *m2m)
{
    return streaming(m2m) && m2m->isp_buffers && !any_queued(m2m);
}

// Memory-mapped streaming: the driver's buffers, mapped shared into the
// process. Returns the table; the granted count is left in *count.
kep_buffer *init_mmap(kep_m2m *m2m, uint32_t *count)
{
    uint32_t granted = 0;
    if (kep::request_buffers(m2m->isp_fd, abi::BUF_TYPE_CAPTURE, abi::MEMORY_MMAP, m2m->m2m_buffers, &granted) == -1) {
        if (errno == EINVAL)
            fprintf(stderr, "Does not support memory mapping\n");
        else
            kep::failed_at("VIDIOC_REQBUFS", __LINE__);
        kep::die();
    }
    // One buffer would sit with the caller and leave the driver none to fill.
    if (granted < 2) {
        fprintf(stderr, "Insufficient buffer memory\n");
        kep::die();
    }

    kep_buffer *table = new_table(granted);
    for (uint32_t i = 0; i < granted; ++i) {
        kep::MapResult r = kep::map_buffer(m2m->isp_fd, abi::BUF_TYPE_CAPTURE, i, &table[i]);
        if (r == kep::MapResult::query_failed) {
            kep::failed_at("VIDIOC_QUERYBUF", __LINE__);
            kep::die();
        }
        if (r == kep::MapResult::mmap_failed) {
            kep::failed_at("mmap", __LINE__);
            kep::die();
        }
    }
    *count = granted;
    return table;
}

// User-pointer streaming: page-aligned, page-sized buffers of our own that
// the driver (and later the encoder) can map directly.
kep_buffer *init_userptr(kep_m2m *m2m, uint64_t frame, uint32_t *count)
{
    long page = sysconf(_SC_PAGESIZE);
    if (page <= 0)
        page = 4096;
    uint64_t size = (frame + uint64_t(page) - 1) / uint64_t(page) * uint64_t(page);

    uint32_t granted = 0;
    if (kep::request_buffers(m2m->isp_fd, abi::BUF_TYPE_CAPTURE, abi::MEMORY_USERPTR, m2m->m2m_buffers, &granted) ==
        -1) {
        if (errno == EINVAL)
            fprintf(stderr, "Does not support user pointer i/o\n");
        else
            kep::failed_at("VIDIOC_REQBUFS", __LINE__);
        kep::die();
    }

    // A buffer length is a 32-bit field of the table and the descriptor.
    if (size > UINT32_MAX)
        out_of_memory();
    kep_buffer *table = new_table(granted);
    for (uint32_t i = 0; i < granted; ++i) {
        void *start = nullptr;
        if (posix_memalign(&start, size_t(page), size_t(size)) != 0)
            out_of_memory();
        table[i].length = uint32_t(size);
        table[i].start = start;
    }
    *count = granted;
    return table;
}

// read() mode: one buffer of one frame.
kep_buffer *init_read(uint64_t frame)
{
    if (frame > UINT32_MAX)
        out_of_memory();
    kep_buffer *table = new_table(1);
    table[0].length = uint32_t(frame);
    table[0].start = malloc(frame ? size_t(frame) : 1);
    if (!table[0].start)
        out_of_memory();
    return table;
}

void try_crop(kep_m2m *m2m)
{
    v4l2_cropcap cropcap;
    memset(&cropcap, 0, sizeof(cropcap));
    cropcap.type = abi::BUF_TYPE_CAPTURE;
    if (kep::ioctl_retry(m2m->isp_fd, abi::CROPCAP, &cropcap) == -1) {
        puts("!! has no ability to crop!!");
        return;
    }
    puts("----->has ability to crop!!");
    printf("cropcap.defrect = (%d, %d, %d, %d)\n", cropcap.defrect.left, cropcap.defrect.top,
           int(cropcap.defrect.width), int(cropcap.defrect.height));

    v4l2_crop crop;
    memset(&crop, 0, sizeof(crop));
    crop.type = abi::BUF_TYPE_CAPTURE;
    crop.c.left = cropcap.defrect.left;
    crop.c.top = cropcap.defrect.top;
    crop.c.width = m2m->width;
    crop.c.height = m2m->height;
    if (kep::ioctl_retry(m2m->isp_fd, abi::S_CROP, &crop) == -1)
        printf("-----!!but crop to (%d, %d, %d, %d) Failed!!\n", crop.c.left, crop.c.top, int(crop.c.width),
               int(crop.c.height));
    else
        printf("----->sussess crop to (%d, %d, %d, %d)\n", crop.c.left, crop.c.top, int(crop.c.width),
               int(crop.c.height));
}

void set_frame_rate(kep_m2m *m2m)
{
    // The rate is a wish: the driver may keep its own, and the stream works
    // either way.
    (void)kep::set_time_per_frame(m2m->isp_fd, abi::BUF_TYPE_CAPTURE, m2m->isp_fps);
    abi::v4l2_streamparm_t parm;
    memset(&parm, 0, sizeof(parm));
    parm.type = abi::BUF_TYPE_CAPTURE;
    (void)kep::ioctl_retry(m2m->isp_fd, abi::G_PARM, &parm);
}

} // namespace

extern "C" KEP_VC_API int32_t kep_isp_init(kep_m2m *m2m)
{
    v4l2_capability cap;
    memset(&cap, 0, sizeof(cap));
    if (kep::ioctl_retry(m2m->isp_fd, abi::QUERYCAP, &cap) == -1) {
        kep::perror_at("kep_isp_init", __LINE__, errno == EINVAL ? "ISP is no V4L2 device" : "VIDIOC_QUERYCAP");
        return -1;
    }
    if (!(cap.capabilities & abi::CAP_VIDEO_CAPTURE)) {
        fprintf(stderr, "ISP is no video capture device\n");
        return -1;
    }
    if (streaming(m2m)) {
        if (!(cap.capabilities & abi::CAP_STREAMING)) {
            fprintf(stderr, "ISP does not support streaming i/o\n");
            return -1;
        }
    } else if (!(cap.capabilities & abi::CAP_READWRITE)) {
        fprintf(stderr, "ISP does not support read i/o\n");
        return -1;
    }

    try_crop(m2m);
    set_frame_rate(m2m);

    abi::v4l2_format_t fmt;
    memset(&fmt, 0, sizeof(fmt));
    fmt.type = abi::BUF_TYPE_CAPTURE;
    fmt.fmt.pix.width = m2m->width;
    fmt.fmt.pix.height = m2m->height;
    fmt.fmt.pix.pixelformat = m2m->isp_fourcc;
    fmt.fmt.pix.field = abi::FIELD_INTERLACED;
    if (kep::ioctl_retry(m2m->isp_fd, abi::S_FMT, &fmt) == -1)
        return -1;

    uint64_t frame = frame_size(fmt);
    // The driver may adjust the size; the caller reads the accepted one.
    if (fmt.fmt.pix.width != m2m->width)
        m2m->width = fmt.fmt.pix.width;
    if (fmt.fmt.pix.height != m2m->height)
        m2m->height = fmt.fmt.pix.height;

    uint32_t granted = m2m->m2m_buffers;
    kep_buffer *table;
    if (m2m->isp_io == KEP_IO_MMAP)
        table = init_mmap(m2m, &granted);
    else if (m2m->isp_io == KEP_IO_USERPTR)
        table = init_userptr(m2m, frame, &granted);
    else
        table = init_read(frame);

    m2m->isp_buffers = table;
    // Every later queue, scan and unmap stays within the table the driver
    // actually granted.
    if (streaming(m2m) && granted != m2m->m2m_buffers)
        m2m->m2m_buffers = granted;
    return 0;
}

int kep_isp_q_index(kep_m2m *m2m, uint32_t index)
{
    if (!streaming(m2m))
        return 0;
    uint8_t *state = state_of(m2m, index);
    if (state && (*state & kep::BUF_QUEUED))
        return 0; // with the driver already: the read took nothing
    if (state && (*state & kep::BUF_LENT)) {
        *state = uint8_t(*state & ~kep::BUF_CALLER); // back when the encoder is done with it
        return 0;
    }
    abi::v4l2_buffer_t buf;
    memset(&buf, 0, sizeof(buf));
    buf.type = abi::BUF_TYPE_CAPTURE;
    buf.index = index;
    if (m2m->isp_io == KEP_IO_MMAP) {
        buf.memory = abi::MEMORY_MMAP;
        if (kep::ioctl_retry(m2m->isp_fd, abi::QBUF, &buf) == -1) {
            fprintf(stderr, "ISP VIDIOC_QBUF ERR\n");
            if (state)
                *state = 0; // ours until the next read queues it again
            return -1;
        }
    } else {
        // The entry is read from the table: the index must lie in it.
        KEP_ASSERT(index < kep::table_count(m2m->isp_buffers), "kep_isp_q");
        const kep_buffer &entry = m2m->isp_buffers[index];
        buf.memory = abi::MEMORY_USERPTR;
        buf.m.userptr = decltype(buf.m.userptr)(uintptr_t(entry.start));
        buf.length = entry.length;
        if (kep::ioctl_retry(m2m->isp_fd, abi::QBUF, &buf) == -1) {
            kep::failed_at("ISP VIDIOC_QBUF ERR", __LINE__);
            kep::die();
        }
    }
    if (state)
        *state = kep::BUF_QUEUED;
    return 0;
}

int kep_isp_q(kep_m2m *m2m)
{
    return kep_isp_q_index(m2m, m2m->isp_index);
}

namespace {

// A dequeued buffer is the caller's until its reset. m2m_buffers may have
// changed since the table was built (kep_dec_start): the table decides.
void take(kep_m2m *m2m, uint32_t index)
{
    uint8_t *state = state_of(m2m, index);
    if (!state)
        kep::assert_fail("buf.index < m2m->m2m_buffers", __LINE__, "kep_isp_dq");
    *state = kep::BUF_CALLER;
    m2m->isp_index = index;
}

} // namespace

int kep_isp_dq(kep_m2m *m2m)
{
    if (m2m->isp_io == KEP_IO_MMAP) {
        abi::v4l2_buffer_t buf;
        memset(&buf, 0, sizeof(buf));
        buf.type = abi::BUF_TYPE_CAPTURE;
        buf.memory = abi::MEMORY_MMAP;
        if (kep::ioctl_retry(m2m->isp_fd, abi::DQBUF, &buf) == -1) {
            if (errno != EAGAIN)
                fprintf(stderr, "VIDIOC_DQBUF\n");
            return -1;
        }
        m2m->timestamp.tv_sec = int32_t(buf.timestamp.tv_sec);
        m2m->timestamp.tv_usec = int32_t(buf.timestamp.tv_usec);
        KEP_ASSERT(buf.index < m2m->m2m_buffers, "kep_isp_dq");
        take(m2m, buf.index);
        return 0;
    }

    if (m2m->isp_io == KEP_IO_USERPTR) {
        abi::v4l2_buffer_t buf;
        memset(&buf, 0, sizeof(buf));
        buf.type = abi::BUF_TYPE_CAPTURE;
        buf.memory = abi::MEMORY_USERPTR;
        if (kep::ioctl_retry(m2m->isp_fd, abi::DQBUF, &buf) == -1) {
            if (errno == EAGAIN)
                return -1;
            kep::failed_at("VIDIOC_DQBUF", __LINE__);
            kep::die();
        }
        uint32_t i, count = kep::table_count(m2m->isp_buffers);
        for (i = 0; i < m2m->m2m_buffers && i < count; ++i) {
            if (uintptr_t(m2m->isp_buffers[i].start) == uintptr_t(buf.m.userptr) &&
                m2m->isp_buffers[i].length == buf.length)
                break;
        }
        if (i == count)
            i = m2m->m2m_buffers;
        KEP_ASSERT(i < m2m->m2m_buffers, "kep_isp_dq");
        // The index is what the next requeue reads the table with.
        KEP_ASSERT(buf.index < m2m->m2m_buffers, "kep_isp_dq");
        take(m2m, buf.index);
        return 0;
    }

    ssize_t n;
    do {
        n = read(m2m->isp_fd, m2m->isp_buffers[0].start, m2m->isp_buffers[0].length);
    } while (n == -1 && errno == EINTR);
    if (n == -1) {
        if (errno == EAGAIN)
            return -1;
        kep::failed_at("read", __LINE__);
        kep::die();
    }
    m2m->isp_index = 0;
    return 0;
}

int kep_isp_next_frame(kep_m2m *m2m)
{
    settle(m2m);
    if (nothing_to_wait_for(m2m))
        return -1;
    // poll() waits exactly as select() would, without select's limit on
    // descriptor numbers (a descriptor past FD_SETSIZE would overrun fd_set).
    for (;;) {
        struct pollfd pfd;
        pfd.fd = m2m->isp_fd;
        pfd.events = POLLIN;
        pfd.revents = 0;
        int r = pfd.fd < 0 ? 0 : poll(&pfd, 1, 5000);
        // select() refuses a descriptor that is not open; poll() reports it
        // (or, for a negative one, ignores it).
        if (pfd.fd < 0 || (r == 1 && (pfd.revents & POLLNVAL))) {
            r = -1;
            errno = EBADF;
        }
        if (r == -1) {
            if (errno == EINTR)
                continue;
            kep::perror_at("kep_isp_next_frame", __LINE__, "select");
            kep::die();
        }
        if (r == 0)
            fprintf(stderr, "isp select timeout\n");
        break;
    }
    return kep_isp_dq(m2m);
}

extern "C" KEP_VC_API int32_t kep_isp_start(kep_m2m *m2m)
{
    // Every buffer the library holds goes to the driver: after init or a stop
    // that is all of them.
    uint32_t count = streaming(m2m) ? kep::table_count(m2m->isp_buffers) : 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (*kep::table_state(m2m->isp_buffers, i) != 0)
            continue;
        m2m->isp_index = i;
        kep_isp_q(m2m);
    }
    m2m->isp_index = 0;
    int type = abi::BUF_TYPE_CAPTURE;
    if (kep::ioctl_retry(m2m->isp_fd, abi::STREAMON, &type) == -1) {
        kep::perror_at("kep_isp_start", __LINE__, "VIDIOC_STREAMON");
        return -1;
    }
    if (kep::TableBook *book = kep::table_book(m2m->isp_buffers))
        book->flags |= ISP_STREAMING;
    return 0;
}

extern "C" KEP_VC_API int32_t kep_isp_read(kep_m2m *m2m)
{
    settle(m2m);
    if (!nothing_to_wait_for(m2m))
        kep_isp_dq(m2m);
    return 1;
}

extern "C" KEP_VC_API int32_t kep_isp_reset(kep_m2m *m2m)
{
    kep_isp_q(m2m);
    return 1;
}

extern "C" KEP_VC_API int32_t kep_isp_stop(kep_m2m *m2m)
{
    if (!streaming(m2m))
        return 0;
    int type = abi::BUF_TYPE_CAPTURE;
    if (kep::ioctl_retry(m2m->isp_fd, abi::STREAMOFF, &type) == -1) {
        fprintf(stderr, "VIDIOC_STREAMOFF\n");
        return -1;
    }
    // Streaming off gives every queued buffer back.
    if (kep::TableBook *book = kep::table_book(m2m->isp_buffers)) {
        book->flags &= ~ISP_STREAMING;
        for (uint32_t i = 0; i < book->count; ++i) {
            uint8_t *state = kep::table_state(m2m->isp_buffers, i);
            *state = uint8_t(*state & ~kep::BUF_QUEUED);
        }
    }
    return 0;
}

extern "C" KEP_VC_API int32_t kep_isp_uninit(kep_m2m *m2m)
{
    kep_buffer *table = m2m->isp_buffers;
    if (!table)
        return 0;

    // Released by the count the table was built with: m2m_buffers may have
    // changed since.
    uint32_t count = kep::table_count(table);
    if (m2m->isp_io == KEP_IO_MMAP) {
        // Entries already unmapped by an earlier, interrupted uninit are
        // cleared, so a second attempt never unmaps an address twice.
        if (kep::unmap_buffers(table, count) == -1)
            return -1;
    } else if (m2m->isp_io == KEP_IO_USERPTR) {
        for (uint32_t i = 0; i < count; ++i)
            free(table[i].start);
    } else {
        free(table[0].start);
    }
    free(table);
    m2m->isp_buffers = nullptr;
    return 0;
}
