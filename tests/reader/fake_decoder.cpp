// A recording stand-in for the decoder node's control requests. The test
// executable's own ioctl() takes precedence over the C library's for every
// caller, libkep_vc included; requests on the fake descriptor are recorded
// and answered here, every other request goes to the kernel unchanged.
// (No <sys/ioctl.h> here: its declaration carries a noexcept clause
// that this definition must not repeat.)
#include "fake_decoder.h"

#include <errno.h>
#include <linux/videodev2.h>
#include <stdarg.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
FakeDecoder *g_active = nullptr;
}

FakeDecoder::FakeDecoder()
{
    fd = eventfd(0, EFD_CLOEXEC);
    g_active = this;
}

FakeDecoder::~FakeDecoder()
{
    g_active = nullptr;
    close(fd);
}

std::vector<ControlCall> FakeDecoder::with_id(uint32_t id) const
{
    std::vector<ControlCall> out;
    for (const ControlCall &c : calls)
        if (c.id == id)
            out.push_back(c);
    return out;
}

static int answer(FakeDecoder *d, unsigned long request, void *arg)
{
    ControlCall call;
    if (request == VIDIOC_S_CTRL) {
        const v4l2_control *c = (const v4l2_control *)arg;
        call.request = request;
        call.id = c->id;
        call.value = c->value;
        // Where addresses are 32 bits the table controls carry the address.
        if (sizeof(void *) == 4 && (c->id == 0x00981905u || c->id == 0x00981906u)) {
            call.address = (const uint8_t *)(uintptr_t)(uint32_t)c->value;
            call.table.assign(call.address, call.address + 64);
        }
    } else if (request == VIDIOC_S_EXT_CTRLS) {
        const v4l2_ext_controls *cs = (const v4l2_ext_controls *)arg;
        if (cs->count != 1)
            return errno = EINVAL, -1;
        const v4l2_ext_control *c = cs->controls;
        call.request = request;
        call.id = c->id;
        call.which = cs->which;
        call.value = c->value;
        if (c->size != 0) {
            call.address = (const uint8_t *)c->ptr;
            call.table.assign(call.address, call.address + c->size);
        }
    } else {
        return errno = ENOTTY, -1;
    }
    d->calls.push_back(call);
    if (d->fail_errno != 0) {
        errno = d->fail_errno;
        if (d->fail_times > 0 && --d->fail_times == 0)
            d->fail_errno = 0;
        return -1;
    }
    return 0;
}

extern "C" int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (g_active != nullptr && fd == g_active->fd)
        return answer(g_active, request, arg);
    return (int)syscall(SYS_ioctl, fd, request, arg);
}
