#include "media_device.h"

#include "platform.h"
#include "user_memory.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

namespace vcam {

namespace {

constexpr uint32_t kVersion = 0x050A00;

// Graph object ids as the kernel makes them: the object's type in the top
// byte, one running number below.
enum : uint32_t { kEntity = 0, kPad = 1, kLink = 2, kInterface = 3 };
uint32_t gobj_id(uint32_t type, uint32_t *counter)
{
    return (type << 24) | ++*counter;
}

void copy_name(char *dst, size_t size, const std::string &src)
{
    memset(dst, 0, size);
    snprintf(dst, size, "%s", src.c_str());
}

} // namespace

MediaDevice::MediaDevice(Ledger &ledger, const Options &options, std::string path)
    : Device(ledger, options, std::move(path))
{
}

MediaDevice::Graph MediaDevice::graph()
{
    Graph g;
    uint32_t counter = 0;
    for (const NodeIdentity &n : Platform::get().identities()) {
        if (n.kind != "enc" && n.kind != "dec")
            continue;
        // Source, processing entity and sink, each with its pads.
        uint32_t ent[3], pad_out[3] = {0, 0, 0}, pad_in[3] = {0, 0, 0};
        const char *suffix[3] = {"-source", "-proc", "-sink"};
        for (int i = 0; i < 3; ++i) {
            media_v2_entity e;
            memset(&e, 0, sizeof e);
            e.id = ent[i] = gobj_id(kEntity, &counter);
            copy_name(e.name, sizeof e.name, n.name + suffix[i]);
            e.function = i != 1 ? MEDIA_ENT_F_IO_V4L
                         : n.kind == "enc" ? MEDIA_ENT_F_PROC_VIDEO_ENCODER
                                           : MEDIA_ENT_F_PROC_VIDEO_DECODER;
            g.entities.push_back(e);
            uint16_t index = 0;
            if (i != 0) { // a sink pad first
                media_v2_pad p;
                memset(&p, 0, sizeof p);
                p.id = pad_in[i] = gobj_id(kPad, &counter);
                p.entity_id = e.id;
                p.flags = MEDIA_PAD_FL_SINK;
                p.index = index++;
                g.pads.push_back(p);
            }
            if (i != 2) {
                media_v2_pad p;
                memset(&p, 0, sizeof p);
                p.id = pad_out[i] = gobj_id(kPad, &counter);
                p.entity_id = e.id;
                p.flags = MEDIA_PAD_FL_SOURCE;
                p.index = index++;
                g.pads.push_back(p);
            }
        }
        for (int i = 0; i < 2; ++i) {
            media_v2_link l;
            memset(&l, 0, sizeof l);
            l.id = gobj_id(kLink, &counter);
            l.source_id = pad_out[i];
            l.sink_id = pad_in[i + 1];
            l.flags = MEDIA_LNK_FL_DATA_LINK | MEDIA_LNK_FL_ENABLED | MEDIA_LNK_FL_IMMUTABLE;
            g.links.push_back(l);
        }
        media_v2_interface in;
        memset(&in, 0, sizeof in);
        in.id = gobj_id(kInterface, &counter);
        in.intf_type = MEDIA_INTF_T_V4L_VIDEO;
        in.devnode.major = n.major;
        in.devnode.minor = n.minor;
        g.interfaces.push_back(in);
        for (int i : {0, 2}) {
            media_v2_link l;
            memset(&l, 0, sizeof l);
            l.id = gobj_id(kLink, &counter);
            l.source_id = in.id;
            l.sink_id = ent[i];
            l.flags = MEDIA_LNK_FL_INTERFACE_LINK | MEDIA_LNK_FL_ENABLED | MEDIA_LNK_FL_IMMUTABLE;
            g.links.push_back(l);
        }
    }
    return g;
}

int MediaDevice::handle_ioctl(const char *name, unsigned long request, void *arg, bool nonblock)
{
    (void)request, (void)nonblock;
    if (arg == nullptr)
        return -EFAULT;
    std::string n = name;
    if (n == "MEDIA_IOC_DEVICE_INFO")
        return device_info(arg);
    if (n == "MEDIA_IOC_G_TOPOLOGY")
        return topology(arg);
    if (n == "MEDIA_IOC_ENUM_ENTITIES")
        return enum_entities(arg);
    if (n == "MEDIA_IOC_ENUM_LINKS")
        return enum_links(arg);
    if (n == "MEDIA_IOC_SETUP_LINK")
        return setup_link(arg);
    return -ENOTTY;     // no requests (MEDIA_IOC_REQUEST_ALLOC)
}

int MediaDevice::device_info(void *arg) const
{
    media_device_info info;
    memset(&info, 0, sizeof info);
    copy_name(info.driver, sizeof info.driver, driver_of(kind()));
    copy_name(info.model, sizeof info.model, card_of(kind()));
    copy_name(info.bus_info, sizeof info.bus_info, std::string("platform:") + driver_of(kind()));
    info.media_version = kVersion;
    info.driver_version = kVersion;
    memcpy(arg, &info, sizeof info);
    return 0;
}

int MediaDevice::topology(void *arg) const
{
    media_v2_topology t;
    memcpy(&t, arg, sizeof t);
    Graph g = graph();
    // Each array the program passes must hold the whole list; either way
    // it learns how many there are. (The structure is packed: its fields are
    // read and written by value.)
    uint32_t nums[4] = {t.num_entities, t.num_interfaces, t.num_pads, t.num_links};
    uint64_t ptrs[4] = {t.ptr_entities, t.ptr_interfaces, t.ptr_pads, t.ptr_links};
    const void *data[4] = {g.entities.data(), g.interfaces.data(), g.pads.data(), g.links.data()};
    size_t sizes[4] = {sizeof(media_v2_entity), sizeof(media_v2_interface), sizeof(media_v2_pad), sizeof(media_v2_link)};
    size_t counts[4] = {g.entities.size(), g.interfaces.size(), g.pads.size(), g.links.size()};
    int r = 0;
    for (size_t i = 0; i < 4; ++i) {
        if (ptrs[i] != 0) {
            if (nums[i] < counts[i])
                r = -ENOSPC;
            else if (copy_user(reinterpret_cast<void *>(static_cast<uintptr_t>(ptrs[i])), data[i], sizes[i] * counts[i]) != 0)
                return -EFAULT;
        }
    }
    t.num_entities = static_cast<uint32_t>(counts[0]);
    t.num_interfaces = static_cast<uint32_t>(counts[1]);
    t.num_pads = static_cast<uint32_t>(counts[2]);
    t.num_links = static_cast<uint32_t>(counts[3]);
    t.topology_version = 1; // the graph never changes
    t.reserved1 = t.reserved2 = t.reserved3 = t.reserved4 = 0;
    memcpy(arg, &t, sizeof t);
    return r;
}

int MediaDevice::enum_entities(void *arg) const
{
    media_entity_desc d;
    memcpy(&d, arg, sizeof d);
    Graph g = graph();
    bool next = (d.id & MEDIA_ENT_ID_FLAG_NEXT) != 0;
    uint32_t id = d.id & ~MEDIA_ENT_ID_FLAG_NEXT;
    const media_v2_entity *found = nullptr;
    for (const media_v2_entity &e : g.entities)
        if (next ? e.id > id : e.id == id) {
            found = &e;
            break;
        }
    if (found == nullptr)
        return -EINVAL;
    memset(&d, 0, sizeof d);
    d.id = found->id;
    copy_name(d.name, sizeof d.name, found->name);
    // The older request knows only the older functions.
    d.type = found->function == MEDIA_ENT_F_IO_V4L ? MEDIA_ENT_F_IO_V4L : MEDIA_ENT_T_DEVNODE_UNKNOWN;
    for (const media_v2_pad &p : g.pads)
        if (p.entity_id == found->id)
            ++d.pads;
    for (const media_v2_link &l : g.links)
        for (const media_v2_pad &p : g.pads)
            if ((l.flags & MEDIA_LNK_FL_LINK_TYPE) == MEDIA_LNK_FL_DATA_LINK && l.source_id == p.id &&
                p.entity_id == found->id)
                ++d.links;
    memcpy(arg, &d, sizeof d);
    return 0;
}

// Every link is immutable: setting one to what it is succeeds, anything
// else is refused.
int MediaDevice::setup_link(void *arg) const
{
    media_link_desc want;
    memcpy(&want, arg, sizeof want);
    Graph g = graph();
    auto pad_id = [&](const media_pad_desc &d) -> uint32_t {
        for (const media_v2_pad &p : g.pads)
            if (p.entity_id == d.entity && p.index == d.index)
                return p.id;
        return 0;
    };
    uint32_t source = pad_id(want.source), sink = pad_id(want.sink);
    for (const media_v2_link &l : g.links)
        if (source != 0 && l.source_id == source && l.sink_id == sink &&
            (l.flags & MEDIA_LNK_FL_LINK_TYPE) == MEDIA_LNK_FL_DATA_LINK) {
            if (want.flags != (l.flags & ~MEDIA_LNK_FL_LINK_TYPE))
                return -EINVAL;
            memset(want.reserved, 0, sizeof want.reserved);
            memcpy(arg, &want, sizeof want);
            return 0;
        }
    return -EINVAL;
}

int MediaDevice::enum_links(void *arg) const
{
    media_links_enum le;
    memcpy(&le, arg, sizeof le);
    Graph g = graph();
    bool known = false;
    for (const media_v2_entity &e : g.entities)
        known = known || e.id == le.entity;
    if (!known)
        return -EINVAL;
    auto pad_of = [&](uint32_t pad_id, media_pad_desc *out) {
        for (const media_v2_pad &p : g.pads)
            if (p.id == pad_id) {
                memset(out, 0, sizeof *out);
                out->entity = p.entity_id;
                out->index = static_cast<uint16_t>(p.index);
                out->flags = p.flags;
                return true;
            }
        return false;
    };
    std::vector<media_pad_desc> pads;
    std::vector<media_link_desc> links;
    for (const media_v2_pad &p : g.pads)
        if (p.entity_id == le.entity) {
            media_pad_desc d;
            pad_of(p.id, &d);
            pads.push_back(d);
        }
    for (const media_v2_link &l : g.links) {
        media_link_desc d;
        memset(&d, 0, sizeof d);
        if ((l.flags & MEDIA_LNK_FL_LINK_TYPE) != MEDIA_LNK_FL_DATA_LINK || !pad_of(l.source_id, &d.source) ||
            d.source.entity != le.entity || !pad_of(l.sink_id, &d.sink))
            continue;
        d.flags = l.flags & ~MEDIA_LNK_FL_LINK_TYPE;
        links.push_back(d);
    }
    if ((le.pads != nullptr && copy_user(le.pads, pads.data(), pads.size() * sizeof pads[0]) != 0) ||
        (le.links != nullptr && copy_user(le.links, links.data(), links.size() * sizeof links[0]) != 0))
        return -EFAULT;
    memset(le.reserved, 0, sizeof le.reserved);
    memcpy(arg, &le, sizeof le);
    return 0;
}

} // namespace vcam
