// A node's controls as the kernel's control framework keeps them for a
// driver: each control's description (type, range, menu, flags), its value,
// the class controls that head each class, and the requests that query, get,
// try and set them (QUERYCTRL, QUERY_EXT_CTRL, QUERYMENU, G/S_CTRL and
// G/S/TRY_EXT_CTRLS) with the framework's checks and error indices. The node
// decides what a new value does; a change is told to whoever listens (the
// node's control events).
#ifndef VCAM_CONTROLS_H
#define VCAM_CONTROLS_H

#include "descriptors.h"

#include <functional>
#include <map>
#include <stdint.h>
#include <vector>

namespace vcam {

struct ControlDef {
    uint32_t id = 0;
    uint32_t type = V4L2_CTRL_TYPE_INTEGER;
    const char *name = "";
    int64_t minimum = 0, maximum = 0, step = 1, def = 0;
    uint32_t flags = 0;
    std::vector<const char *> menu; // item names from index 0; null: no such item
    uint32_t elems = 0;             // an array of that many U8 elements (its payload)
};

class Controls {
public:
    // What the node does with a new value: 0, or -errno and the control keeps
    // its value. `payload` holds an array control's elements.
    using Apply = std::function<int(uint32_t id, int64_t value, const std::vector<uint8_t> &payload)>;
    // A control's value (or flags) changed: the event that says so.
    using Changed = std::function<void(uint32_t id, const v4l2_event_ctrl &event)>;

    // Adds a control, and its class control where the class has none yet.
    void add(const ControlDef &def);
    void on_apply(Apply apply) { apply_ = std::move(apply); }
    void on_changed(Changed changed) { changed_ = std::move(changed); }

    bool empty() const { return ctrls_.empty(); }
    // The control requests; -ENOTTY for any other request, and for all of
    // them on a node without controls.
    int request(const char *name, void *arg);

    int64_t value(uint32_t id) const;
    // The event a control's state makes (its value and flags) for a new
    // subscriber; false for no such control, and for a class control.
    bool event_of(uint32_t id, v4l2_event_ctrl *event) const;
    bool has(uint32_t id) const { return ctrls_.count(id) != 0; }

private:
    struct Control {
        ControlDef def;
        int64_t value = 0;
        std::vector<uint8_t> payload;
        bool compound() const { return def.elems > 0 || def.type >= V4L2_CTRL_COMPOUND_TYPES; }
        bool is_int() const;
        uint32_t elem_size() const;
    };

    const Control *find(uint32_t id) const;
    const Control *find_old(uint32_t id) const;
    const Control *next_after(uint32_t id, uint32_t next_flags) const;
    void fill_query(const Control &c, v4l2_query_ext_ctrl *q) const;
    int query_ext(v4l2_query_ext_ctrl *q) const;
    int query(void *arg) const;
    int querymenu(void *arg) const;
    int g_ctrl(void *arg) const;
    int s_ctrl(void *arg);
    int ext(const char *name, void *arg);
    // Checks a value against the control's range and menu: 0 or -errno.
    int validate(const Control &c, int64_t value) const;
    int set_value(uint32_t id, int64_t value, const std::vector<uint8_t> &payload);

    std::map<uint32_t, Control> ctrls_;
    Apply apply_;
    Changed changed_;
};

} // namespace vcam

#endif
