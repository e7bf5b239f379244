// The codec driver's media controller node (/dev/media0), as the kernel's
// memory-to-memory helpers register one for each codec node: a source, a
// processing entity (the encoder or decoder) and a sink, linked in a row,
// and the node's interface linked to its source and sink. Tools find a codec
// node's function (video encoder, video decoder) here.
#ifndef VCAM_MEDIA_DEVICE_H
#define VCAM_MEDIA_DEVICE_H

#include "device.h"
#include "sysfs.h"

#include <linux/media.h>
#include <vector>

namespace vcam {

class MediaDevice : public Device {
public:
    MediaDevice(Ledger &ledger, const Options &options, std::string path);

    const char *kind() const override { return "media"; }

protected:
    int handle_ioctl(const char *name, unsigned long request, void *arg, bool nonblock) override;

private:
    struct Graph {
        std::vector<media_v2_entity> entities;
        std::vector<media_v2_interface> interfaces;
        std::vector<media_v2_pad> pads;
        std::vector<media_v2_link> links;
    };
    // The graph of the codec nodes as they are configured now.
    static Graph graph();

    int device_info(void *arg) const;
    int topology(void *arg) const;
    int enum_entities(void *arg) const;
    int enum_links(void *arg) const;
    int setup_link(void *arg) const;
};

} // namespace vcam

#endif
