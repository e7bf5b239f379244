// The platform's own C interface (vcam.h).
#include "vcam.h"

#include "hooks.h"
#include "isp_device.h"
#include "platform.h"

#include <stdio.h>
#include <string.h>

using vcam::Platform;

extern "C" {

VCAM_EXPORT int vcam_configure(const char *options)
{
    std::string error;
    if (!Platform::get().configure(options, error)) {
        fprintf(stderr, "vcam: %s\n", error.c_str());
        return -1;
    }
    return 0;
}

VCAM_EXPORT int vcam_stats_format(char *buf, unsigned len)
{
    std::string text = Platform::get().stats_text();
    if (buf != nullptr && len > 0) {
        size_t n = text.size() < len - 1 ? text.size() : len - 1;
        memcpy(buf, text.data(), n);
        buf[n] = '\0';
    }
    return static_cast<int>(text.size());
}

VCAM_EXPORT long vcam_stat(const char *name)
{
    if (name == nullptr)
        return -1;
    return Platform::get().ledger().get(name);
}

VCAM_EXPORT int vcam_isp_wait_frame(unsigned long long after_seq, int timeout_ms, const unsigned char **luma,
                                    unsigned *width, unsigned *height, unsigned long long *seq)
{
    // Each waiting thread keeps its own copy of the last picture it got.
    thread_local std::vector<uint8_t> picture;
    std::shared_ptr<vcam::Device> isp;
    for (const auto &d : Platform::get().devices())
        if (d->as_isp() != nullptr && d->as_isp()->streaming()) {
            isp = d;
            break;
        }
    if (!isp)
        return -1;
    unsigned w = 0, h = 0;
    unsigned long long number = 0;
    int r = isp->as_isp()->wait_frame(after_seq, timeout_ms, picture, w, h, number);
    if (r == 0) {
        if (luma != nullptr)
            *luma = picture.data();
        if (width != nullptr)
            *width = w;
        if (height != nullptr)
            *height = h;
        if (seq != nullptr)
            *seq = number;
    }
    return r;
}

} // extern "C"
