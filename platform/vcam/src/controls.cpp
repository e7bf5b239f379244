#include "controls.h"

#include "user_memory.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

namespace vcam {

namespace {

constexpr uint32_t kNextFlags = V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
constexpr uint32_t kMaxExtControls = 1024; // the kernel's V4L2_CID_MAX_CTRLS

const char *class_name(uint32_t which)
{
    switch (which) {
    case V4L2_CTRL_CLASS_USER: return "User Controls";
    case V4L2_CTRL_CLASS_CODEC: return "Codec Controls";
    case V4L2_CTRL_CLASS_JPEG: return "JPEG Compression Controls";
    case V4L2_CTRL_CLASS_CAMERA: return "Camera Controls";
    default: return "Controls";
    }
}

void copy_name(char *dst, size_t size, const char *src)
{
    memset(dst, 0, size);
    snprintf(dst, size, "%s", src);
}

} // namespace

bool Controls::Control::is_int() const
{
    switch (def.type) {
    case V4L2_CTRL_TYPE_INTEGER:
    case V4L2_CTRL_TYPE_BOOLEAN:
    case V4L2_CTRL_TYPE_MENU:
    case V4L2_CTRL_TYPE_INTEGER_MENU:
    case V4L2_CTRL_TYPE_BITMASK:
    case V4L2_CTRL_TYPE_BUTTON: return def.elems == 0;
    default: return false;
    }
}

uint32_t Controls::Control::elem_size() const
{
    if (def.type == V4L2_CTRL_TYPE_INTEGER64)
        return 8;
    if (def.type == V4L2_CTRL_TYPE_U8)
        return 1;
    return 4;
}

void Controls::add(const ControlDef &def)
{
    uint32_t which = V4L2_CTRL_ID2WHICH(def.id);
    if (def.type != V4L2_CTRL_TYPE_CTRL_CLASS && ctrls_.count(which | 1) == 0) {
        ControlDef head;
        head.id = which | 1;
        head.type = V4L2_CTRL_TYPE_CTRL_CLASS;
        head.name = class_name(which);
        head.step = 0;
        head.flags = V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY;
        add(head);
    }
    Control c;
    c.def = def;
    c.value = def.def;
    c.payload.assign(def.elems, static_cast<uint8_t>(def.def));
    ctrls_[def.id] = c;
}

const Controls::Control *Controls::find(uint32_t id) const
{
    auto it = ctrls_.find(id);
    return it == ctrls_.end() ? nullptr : &it->second;
}

// V4L2_CID_PRIVATE_BASE + n, the old API's name for the n-th private user
// control that G/S_CTRL can reach.
const Controls::Control *Controls::find_old(uint32_t id) const
{
    if (id < V4L2_CID_PRIVATE_BASE)
        return find(id);
    uint32_t n = id - V4L2_CID_PRIVATE_BASE;
    for (const auto &c : ctrls_)
        if (V4L2_CTRL_ID2WHICH(c.first) == V4L2_CTRL_CLASS_USER && V4L2_CTRL_DRIVER_PRIV(c.first) && c.second.is_int() &&
            n-- == 0)
            return &c.second;
    return nullptr;
}

const Controls::Control *Controls::next_after(uint32_t id, uint32_t next_flags) const
{
    for (auto it = ctrls_.upper_bound(id); it != ctrls_.end(); ++it) {
        bool compound = it->second.compound();
        if (next_flags == kNextFlags || compound == (next_flags == V4L2_CTRL_FLAG_NEXT_COMPOUND))
            return &it->second;
    }
    return nullptr;
}

int64_t Controls::value(uint32_t id) const
{
    const Control *c = find(id);
    return c == nullptr ? 0 : c->value;
}

void Controls::fill_query(const Control &c, v4l2_query_ext_ctrl *q) const
{
    memset(q, 0, sizeof *q);
    q->id = c.def.id;
    q->type = c.def.type;
    copy_name(q->name, sizeof q->name, c.def.name);
    if (c.def.type != V4L2_CTRL_TYPE_CTRL_CLASS) {
        q->minimum = c.def.minimum;
        q->maximum = c.def.maximum;
        q->step = static_cast<uint64_t>(c.def.step);
        q->default_value = c.def.def;
    }
    q->flags = c.def.flags | (c.compound() ? V4L2_CTRL_FLAG_HAS_PAYLOAD : 0u);
    q->elem_size = c.elem_size();
    q->elems = c.def.elems > 0 ? c.def.elems : 1;
    if (c.def.elems > 0) {
        q->nr_of_dims = 1;
        q->dims[0] = c.def.elems;
    }
}

int Controls::query_ext(v4l2_query_ext_ctrl *q) const
{
    uint32_t next = q->id & kNextFlags;
    uint32_t id = q->id & V4L2_CTRL_ID_MASK;
    const Control *c = next != 0 ? next_after(id, next) : find_old(id);
    if (c == nullptr)
        return -EINVAL;
    fill_query(*c, q);
    if (next == 0 && id >= V4L2_CID_PRIVATE_BASE)
        q->id = id; // answered under the name it was asked by
    return 0;
}

int Controls::query(void *arg) const
{
    v4l2_queryctrl qc;
    memcpy(&qc, arg, sizeof qc);
    v4l2_query_ext_ctrl q;
    q.id = qc.id;
    if (int r = query_ext(&q))
        return r;
    memset(&qc, 0, sizeof qc);
    qc.id = q.id;
    qc.type = q.type;
    copy_name(reinterpret_cast<char *>(qc.name), sizeof qc.name, q.name);
    qc.flags = q.flags;
    // The old request carries ranges of the plain types only.
    switch (q.type) {
    case V4L2_CTRL_TYPE_INTEGER:
    case V4L2_CTRL_TYPE_BOOLEAN:
    case V4L2_CTRL_TYPE_MENU:
    case V4L2_CTRL_TYPE_INTEGER_MENU:
    case V4L2_CTRL_TYPE_STRING:
    case V4L2_CTRL_TYPE_BITMASK:
        if (q.nr_of_dims == 0) {
            qc.minimum = static_cast<int32_t>(q.minimum);
            qc.maximum = static_cast<int32_t>(q.maximum);
            qc.step = static_cast<int32_t>(q.step);
            qc.default_value = static_cast<int32_t>(q.default_value);
        }
        break;
    default: break;
    }
    memcpy(arg, &qc, sizeof qc);
    return 0;
}

int Controls::querymenu(void *arg) const
{
    v4l2_querymenu m;
    memcpy(&m, arg, sizeof m);
    const Control *c = find_old(m.id);
    if (c == nullptr || c->def.type != V4L2_CTRL_TYPE_MENU || m.index < c->def.minimum ||
        m.index > c->def.maximum || m.index >= c->def.menu.size() || c->def.menu[m.index] == nullptr)
        return -EINVAL;
    uint32_t id = m.id, index = m.index;
    memset(&m, 0, sizeof m);
    m.id = id;
    m.index = index;
    copy_name(reinterpret_cast<char *>(m.name), sizeof m.name, c->def.menu[index]);
    memcpy(arg, &m, sizeof m);
    return 0;
}

int Controls::validate(const Control &c, int64_t value) const
{
    if (value < c.def.minimum || value > c.def.maximum)
        return -ERANGE;
    if (c.def.type == V4L2_CTRL_TYPE_MENU &&
        (static_cast<uint64_t>(value) >= c.def.menu.size() || c.def.menu[static_cast<size_t>(value)] == nullptr))
        return -EINVAL;
    return 0;
}

int Controls::set_value(uint32_t id, int64_t value, const std::vector<uint8_t> &payload)
{
    Control &c = ctrls_[id];
    // The node sees every setting (the hardware takes each), and an event
    // tells of real changes only.
    if (apply_)
        if (int r = apply_(id, value, payload))
            return r;
    bool changed = c.value != value || c.payload != payload;
    c.value = value;
    c.payload = payload;
    v4l2_event_ctrl ev;
    if (changed && changed_ && event_of(id, &ev)) {
        ev.changes = V4L2_EVENT_CTRL_CH_VALUE;
        changed_(id, ev);
    }
    return 0;
}

bool Controls::event_of(uint32_t id, v4l2_event_ctrl *ev) const
{
    const Control *c = find(id);
    if (c == nullptr || c->def.type == V4L2_CTRL_TYPE_CTRL_CLASS)
        return false;
    memset(ev, 0, sizeof *ev);
    ev->changes = V4L2_EVENT_CTRL_CH_FLAGS;
    if (!(c->def.flags & V4L2_CTRL_FLAG_WRITE_ONLY))
        ev->changes |= V4L2_EVENT_CTRL_CH_VALUE;
    ev->type = c->def.type;
    if (c->def.type == V4L2_CTRL_TYPE_INTEGER64)
        ev->value64 = c->value;
    else if (!c->compound())
        ev->value = static_cast<int32_t>(c->value);
    ev->flags = c->def.flags | (c->compound() ? V4L2_CTRL_FLAG_HAS_PAYLOAD : 0u);
    ev->minimum = static_cast<int32_t>(c->def.minimum);
    ev->maximum = static_cast<int32_t>(c->def.maximum);
    ev->step = static_cast<int32_t>(c->def.step);
    ev->default_value = static_cast<int32_t>(c->def.def);
    return true;
}

int Controls::g_ctrl(void *arg) const
{
    v4l2_control ctl;
    memcpy(&ctl, arg, sizeof ctl);
    const Control *c = find_old(ctl.id);
    if (c == nullptr || !c->is_int())
        return -EINVAL;
    if (c->def.flags & V4L2_CTRL_FLAG_WRITE_ONLY)
        return -EACCES;
    ctl.value = static_cast<int32_t>(c->value);
    memcpy(arg, &ctl, sizeof ctl);
    return 0;
}

int Controls::s_ctrl(void *arg)
{
    v4l2_control ctl;
    memcpy(&ctl, arg, sizeof ctl);
    const Control *c = find_old(ctl.id);
    if (c == nullptr || !c->is_int())
        return -EINVAL;
    if (c->def.flags & V4L2_CTRL_FLAG_READ_ONLY)
        return -EACCES;
    if (int r = validate(*c, ctl.value))
        return r;
    if (int r = set_value(c->def.id, ctl.value, c->payload))
        return r;
    memcpy(arg, &ctl, sizeof ctl);
    return 0;
}

// The extended requests, with the framework's rules for the class named in
// `which`, for the error index (the failing control while checking what was
// asked; the count when nothing was changed or a get failed) and for payload
// sizes (a get with too small a size learns the size with ENOSPC).
int Controls::ext(const char *name, void *arg)
{
    bool get = strcmp(name, "G_EXT_CTRLS") == 0, set = strcmp(name, "S_EXT_CTRLS") == 0;
    v4l2_ext_controls cs;
    memcpy(&cs, arg, sizeof cs);
    uint32_t asked = cs.which;
    cs.error_idx = cs.count;
    auto done = [&](int r) {
        memcpy(arg, &cs, sizeof cs);
        return r;
    };
    if (asked == V4L2_CTRL_WHICH_REQUEST_VAL)
        return done(-EINVAL); // no request API on these nodes
    if (!get && asked == V4L2_CTRL_WHICH_DEF_VAL)
        return done(-EINVAL); // defaults cannot change
    bool defaults = asked == V4L2_CTRL_WHICH_DEF_VAL;
    uint32_t which = defaults ? 0 : V4L2_CTRL_ID2WHICH(asked);
    cs.which = defaults ? asked : which;
    if (cs.count == 0)
        return done(which == 0 || find(which | 1) != nullptr ? 0 : -EINVAL);
    if (cs.count > kMaxExtControls)
        return done(-EINVAL);
    std::vector<v4l2_ext_control> list(cs.count);
    if (copy_user(list.data(), cs.controls, list.size() * sizeof list[0]) != 0)
        return done(-EFAULT);
    auto put_back = [&](int r) {
        if (copy_user(cs.controls, list.data(), list.size() * sizeof list[0]) != 0 && r == 0)
            r = -EFAULT;
        return done(r);
    };

    std::vector<const Control *> found(cs.count);
    for (uint32_t i = 0; i < cs.count; ++i) {
        v4l2_ext_control &e = list[i];
        cs.error_idx = i;
        int r = 0;
        const Control *c = find(e.id);
        if ((which != 0 && V4L2_CTRL_ID2WHICH(e.id) != which) || e.id >= V4L2_CID_PRIVATE_BASE || c == nullptr)
            r = -EINVAL;
        else if (c->compound() && e.size < c->def.elems * c->elem_size()) {
            e.size = c->def.elems * c->elem_size();
            r = get ? -ENOSPC : -EFAULT;
        }
        if (r != 0) {
            // A get or a set that found nothing to do names no control;
            // a try names the one it stopped at, and so does a short size.
            if (r != -ENOSPC && (get || set))
                cs.error_idx = cs.count;
            return put_back(r);
        }
        if (c->compound())
            e.size = c->def.elems * c->elem_size();
        found[i] = c;
    }

    if (get) {
        cs.error_idx = cs.count;
        for (uint32_t i = 0; i < cs.count; ++i)
            if (found[i]->def.flags & V4L2_CTRL_FLAG_WRITE_ONLY)
                return put_back(-EACCES);
        for (uint32_t i = 0; i < cs.count; ++i) {
            const Control &c = *found[i];
            if (c.compound()) {
                std::vector<uint8_t> def(c.payload.size(), static_cast<uint8_t>(c.def.def));
                if (copy_user(list[i].ptr, defaults ? def.data() : c.payload.data(), c.payload.size()) != 0)
                    return put_back(-EFAULT);
            } else if (c.def.type == V4L2_CTRL_TYPE_INTEGER64) {
                list[i].value64 = defaults ? c.def.def : c.value;
            } else {
                list[i].value = static_cast<int32_t>(defaults ? c.def.def : c.value);
            }
        }
        return put_back(0);
    }

    std::vector<std::vector<uint8_t>> payloads(cs.count);
    for (uint32_t i = 0; i < cs.count; ++i) {
        const Control &c = *found[i];
        cs.error_idx = i;
        int r = 0;
        if (c.def.flags & V4L2_CTRL_FLAG_READ_ONLY) {
            r = -EACCES;
        } else if (c.compound()) {
            payloads[i].resize(c.payload.size());
            if (copy_user(payloads[i].data(), list[i].ptr, payloads[i].size()) != 0)
                r = -EFAULT;
        } else {
            r = validate(c, c.def.type == V4L2_CTRL_TYPE_INTEGER64 ? list[i].value64 : list[i].value);
        }
        if (r != 0) {
            if (set)
                cs.error_idx = cs.count;
            return put_back(r);
        }
    }
    if (set) {
        cs.error_idx = cs.count;
        for (uint32_t i = 0; i < cs.count; ++i) {
            const Control &c = *found[i];
            int64_t v = c.compound() ? c.value : c.def.type == V4L2_CTRL_TYPE_INTEGER64 ? list[i].value64 : list[i].value;
            if (int r = set_value(c.def.id, v, c.compound() ? payloads[i] : c.payload))
                return put_back(r);
        }
    }
    return put_back(0);
}

int Controls::request(const char *name, void *arg)
{
    if (ctrls_.empty())
        return -ENOTTY;
    if (arg == nullptr)
        return -EFAULT;
    if (!strcmp(name, "QUERYCTRL"))
        return query(arg);
    if (!strcmp(name, "QUERY_EXT_CTRL")) {
        v4l2_query_ext_ctrl q;
        memcpy(&q, arg, sizeof q);
        int r = query_ext(&q);
        if (r == 0)
            memcpy(arg, &q, sizeof q);
        return r;
    }
    if (!strcmp(name, "QUERYMENU"))
        return querymenu(arg);
    if (!strcmp(name, "G_CTRL"))
        return g_ctrl(arg);
    if (!strcmp(name, "S_CTRL"))
        return s_ctrl(arg);
    if (!strcmp(name, "G_EXT_CTRLS") || !strcmp(name, "S_EXT_CTRLS") || !strcmp(name, "TRY_EXT_CTRLS"))
        return ext(name, arg);
    return -ENOTTY;
}

} // namespace vcam
