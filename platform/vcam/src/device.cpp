#include "device.h"

#include "descriptors.h"
#include "libc.h"
#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/mman.h>

namespace vcam {

const char *driver_of(const std::string &kind)
{
    return kind == "isp" ? "vcam" : "vcam-codec";
}

const char *card_of(const std::string &kind)
{
    if (kind == "isp")
        return "kep virtual ISP";
    if (kind == "media")
        return "kep virtual codec";
    return kind == "enc" ? "kep virtual encoder" : "kep virtual decoder";
}

namespace {

// Requests that change what other opens of the node see: refused with EBUSY
// while another open holds a higher priority, as the kernel's core does.
bool priority_checked(const char *name)
{
    static const char *const names[] = {"S_FMT",     "REQBUFS",     "CREATE_BUFS", "STREAMON",    "STREAMOFF",
                                        "S_PARM",    "S_INPUT",     "S_CTRL",      "S_EXT_CTRLS", "S_CROP",
                                        "S_SELECTION", "ENCODER_CMD", "DECODER_CMD", "S_PRIORITY"};
    for (const char *n : names)
        if (strcmp(n, name) == 0)
            return true;
    return false;
}

} // namespace

Device::Device(Ledger &ledger, const Options &options, std::string path)
    : ledger_(ledger), options_(options), path_(std::move(path)), priority_(V4L2_PRIORITY_DEFAULT)
{
    Platform::get().change_priority(path_, 0, priority_);
}

Device::~Device()
{
    Platform::get().change_priority(path_, priority_, 0);
    if (event_fd_ >= 0)
        libc::close(event_fd_);
}

int Device::create_handle(int open_flags)
{
    int flags = 0;
    if (open_flags & O_NONBLOCK)
        flags |= EFD_NONBLOCK;
    if (open_flags & O_CLOEXEC)
        flags |= EFD_CLOEXEC;
    int fd = eventfd(0, flags);
    if (fd < 0)
        return -errno;
    // Kept apart from the program's descriptor so that readiness still works
    // when the program closes the descriptor it opened and keeps a dup.
    event_fd_ = libc::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (event_fd_ < 0) {
        int e = errno;
        libc::close(fd);
        return -e;
    }
    return fd;
}

void Device::set_readable(bool ready)
{
    if (ready == readable_ || event_fd_ < 0)
        return;
    libc::set_eventfd(event_fd_, ready);
    readable_ = ready;
}

int Device::ioctl(unsigned long request, void *arg, bool nonblock)
{
    const char *name = request_name(request);
    if (name == nullptr) {
        ledger_.count("VIDIOC_unknown");
        return -ENOTTY;
    }
    // V4L2 requests are counted as VIDIOC_<name>, the media controller's
    // by their own names (MEDIA_IOC_...).
    std::string counted = _IOC_TYPE(request) == 'V' ? std::string("VIDIOC_") + name : name;
    ledger_.count(counted);
    // Encoder requests are also counted apart, to tell them from the ISP's.
    if (strcmp(kind(), "isp") != 0)
        ledger_.count(std::string(kind()) + "." + counted);
    if (options_.eintr > 0) {
        std::lock_guard<std::mutex> lock(eintr_mu_);
        int &given = eintr_given_[request];
        if (given < options_.eintr) {
            ++given;
            ledger_.count("eintr");
            ledger_.count("faults");
            return -EINTR;
        }
        given = 0;
    }
    FailEffect effect = FailEffect::error;
    std::string scope = fault_scope(name, arg);
    if (int err = ledger_.injected_failure(name, scope, &effect))
        return -err;
    if (priority_checked(name) && priority_ < Platform::get().max_priority(path_))
        return -EBUSY;
    int r = 0;
    if (core_ioctl(name, arg, nonblock, &r))
        return r;
    r = handle_ioctl(name, request, arg, nonblock);
    bool buffer_request = !strcmp(name, "QBUF") || !strcmp(name, "DQBUF");
    // Buffers that changed hands, and queueings the queue's rules refused (a
    // buffer queued twice, an index or memory kind it does not have, a
    // picture nobody lends): what tells a program that loses track.
    if (r == 0 && buffer_request)
        ledger_.count(scope + ":" + name + ".done");
    if (r == -EINVAL && !strcmp(name, "QBUF"))
        ledger_.count("QBUF.refused");
    if (r == 0 && effect != FailEffect::error)
        change_dequeued(request, arg, effect);
    return r;
}

void Device::change_dequeued(unsigned long request, void *arg, FailEffect effect)
{
    Abi abi = buffer_abi(request);
    if (abi == Abi::none)
        return;
    BufferDesc d = load_buffer(abi, arg);
    if (effect == FailEffect::bad_index) {
        d.index = kBadIndex;
    } else {
        d.flags |= kErrorFlag;
        d.bytesused = 0;
    }
    store_buffer(abi, d, arg);
}

bool Device::core_ioctl(const char *name, void *arg, bool nonblock, int *result)
{
    std::string n = name;
    if (n != "G_PRIORITY" && n != "S_PRIORITY" && n != "SUBSCRIBE_EVENT" && n != "UNSUBSCRIBE_EVENT" &&
        n != "DQEVENT" && n != "LOG_STATUS")
        return false;
    if (n == "LOG_STATUS") {
        // The status goes to the kernel's log, which the platform does not have.
        *result = 0;
        return true;
    }
    if (arg == nullptr) {
        *result = -EFAULT;
        return true;
    }
    if (n == "G_PRIORITY") {
        uint32_t p = Platform::get().max_priority(path_);
        memcpy(arg, &p, sizeof p);
        *result = 0;
    } else if (n == "S_PRIORITY") {
        uint32_t p = 0;
        memcpy(&p, arg, sizeof p);
        if (p == V4L2_PRIORITY_INTERACTIVE || p == V4L2_PRIORITY_BACKGROUND || p == V4L2_PRIORITY_RECORD) {
            Platform::get().change_priority(path_, priority_, p);
            priority_ = p;
            *result = 0;
        } else {
            *result = -EINVAL;
        }
    } else if (!has_events()) {
        *result = -ENOTTY; // no event requests at all on a node without events
    } else if (n == "SUBSCRIBE_EVENT") {
        v4l2_event_subscription sub;
        memcpy(&sub, arg, sizeof sub);
        *result = subscribe_event(sub);
    } else {
        if (n == "UNSUBSCRIBE_EVENT") {
            v4l2_event_subscription sub;
            memcpy(&sub, arg, sizeof sub);
            *result = events_.unsubscribe(sub);
        } else {
            v4l2_event ev;
            *result = events_.dequeue(&ev, nonblock);
            if (*result == 0)
                memcpy(arg, &ev, sizeof ev);
        }
    }
    return true;
}

int Device::fill_capability(void *arg, uint32_t device_caps) const
{
    v4l2_capability cap;
    memset(&cap, 0, sizeof cap);
    strncpy(reinterpret_cast<char *>(cap.driver), driver_of(kind()), sizeof cap.driver - 1);
    strncpy(reinterpret_cast<char *>(cap.card), card_of(kind()), sizeof cap.card - 1);
    // The platform device the node belongs to, as sysfs names it.
    snprintf(reinterpret_cast<char *>(cap.bus_info), sizeof cap.bus_info, "platform:%s", driver_of(kind()));
    cap.version = 0x050A00;
    // The extended pixel format fields are always filled in.
    cap.device_caps = device_caps | V4L2_CAP_EXT_PIX_FORMAT;
    cap.capabilities = cap.device_caps | V4L2_CAP_DEVICE_CAPS;
    memcpy(arg, &cap, sizeof cap);
    return 0;
}

long Device::read(void *, size_t, bool)
{
    return -EINVAL;
}

void *Device::mmap(size_t, int, int, off_t, int *err)
{
    *err = ENODEV;
    return nullptr;
}

std::string Device::buffer_label(uint64_t offset)
{
    (void)offset;
    return std::string(kind()) + " " + path();
}

Abi Device::load_counted_buffer(unsigned long request, const void *arg, BufferDesc *d)
{
    Abi abi = buffer_abi(request);
    if (abi == Abi::none)
        return abi;
    ledger_.count(abi == Abi::camera ? "abi.camera" : "abi.host");
    *d = load_buffer(abi, arg);
    return abi;
}

} // namespace vcam
