#include "events.h"

#include "libc.h"

#include <errno.h>
#include <string.h>
#include <sys/eventfd.h>
#include <time.h>

namespace vcam {

EventQueue::EventQueue()
{
    ready_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

EventQueue::~EventQueue()
{
    if (ready_fd_ >= 0)
        libc::close(ready_fd_);
}

void EventQueue::subscribe(const v4l2_event_subscription &sub)
{
    std::lock_guard<std::mutex> lock(mu_);
    for (const v4l2_event_subscription &s : subs_)
        if (s.type == sub.type && s.id == sub.id)
            return; // subscribed already: the kernel keeps the first
    v4l2_event_subscription s;
    memset(&s, 0, sizeof s);
    s.type = sub.type;
    s.id = sub.id;
    s.flags = sub.flags;
    subs_.push_back(s);
}

int EventQueue::unsubscribe(const v4l2_event_subscription &sub)
{
    std::lock_guard<std::mutex> lock(mu_);
    for (size_t i = subs_.size(); i-- > 0;) {
        if (sub.type != V4L2_EVENT_ALL && (subs_[i].type != sub.type || subs_[i].id != sub.id))
            continue;
        // Its waiting event goes with it.
        for (auto it = pending_.begin(); it != pending_.end();)
            it = it->type == subs_[i].type && it->id == subs_[i].id ? pending_.erase(it) : it + 1;
        subs_.erase(subs_.begin() + static_cast<long>(i));
    }
    set_ready_locked();
    return 0;
}

bool EventQueue::subscribed(uint32_t type, uint32_t id, uint32_t *flags) const
{
    std::lock_guard<std::mutex> lock(mu_);
    for (const v4l2_event_subscription &s : subs_)
        if (s.type == type && s.id == id) {
            if (flags != nullptr)
                *flags = s.flags;
            return true;
        }
    return false;
}

void EventQueue::raise(uint32_t type, uint32_t id, const void *data, size_t size, bool own)
{
    std::lock_guard<std::mutex> lock(mu_);
    const v4l2_event_subscription *sub = nullptr;
    for (const v4l2_event_subscription &s : subs_)
        if (s.type == type && s.id == id)
            sub = &s;
    if (sub == nullptr)
        return;
    if (own && type == V4L2_EVENT_CTRL && !(sub->flags & V4L2_EVENT_SUB_FL_ALLOW_FEEDBACK))
        return;
    v4l2_event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = type;
    ev.id = id;
    memcpy(&ev.u, data, size < sizeof ev.u ? size : sizeof ev.u);
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (it->type != type || it->id != id)
            continue;
        // One event per subscription: the newer one replaces it, keeping
        // what the older one said changed.
        if (type == V4L2_EVENT_CTRL)
            ev.u.ctrl.changes |= it->u.ctrl.changes;
        else if (type == V4L2_EVENT_SOURCE_CHANGE)
            ev.u.src_change.changes |= it->u.src_change.changes;
        pending_.erase(it);
        break;
    }
    ev.sequence = sequence_++;
    clock_gettime(CLOCK_MONOTONIC, &ev.timestamp);
    pending_.push_back(ev);
    set_ready_locked();
    cv_.notify_all();
}

int EventQueue::dequeue(v4l2_event *out, bool nonblock)
{
    std::unique_lock<std::mutex> lock(mu_);
    while (pending_.empty()) {
        if (nonblock)
            return -ENOENT;
        cv_.wait(lock);
    }
    *out = pending_.front();
    pending_.pop_front();
    out->pending = static_cast<uint32_t>(pending_.size());
    set_ready_locked();
    return 0;
}

void EventQueue::set_ready_locked()
{
    bool ready = !pending_.empty();
    if (ready != ready_)
        libc::set_eventfd(ready_fd_, ready);
    ready_ = ready;
}

} // namespace vcam
