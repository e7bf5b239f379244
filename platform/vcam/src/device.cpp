#include "device.h"

#include "descriptors.h"
#include "libc.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/mman.h>

namespace vcam {

Device::Device(Ledger &ledger, const Options &options, std::string path)
    : ledger_(ledger), options_(options), path_(std::move(path))
{
}

Device::~Device()
{
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
    uint64_t v = 1;
    if (ready) {
        (void)!libc::write(event_fd_, &v, sizeof v);
    } else {
        // The counter may already be gone: a forked child shares the
        // descriptor and may have drained it. Never block on it.
        pollfd p{event_fd_, POLLIN, 0};
        if (libc::poll(&p, 1, 0) == 1)
            (void)!libc::read(event_fd_, &v, sizeof v);
    }
    readable_ = ready;
}

int Device::ioctl(unsigned long request, void *arg, bool nonblock)
{
    const char *name = request_name(request);
    if (name == nullptr) {
        ledger_.count("VIDIOC_unknown");
        return -ENOTTY;
    }
    ledger_.count(std::string("VIDIOC_") + name);
    // Encoder requests are also counted apart, to tell them from the ISP's.
    if (strcmp(kind(), "isp") != 0)
        ledger_.count(std::string(kind()) + ".VIDIOC_" + name);
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
    int r = handle_ioctl(name, request, arg, nonblock);
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
