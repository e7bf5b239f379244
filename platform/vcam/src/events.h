// The events of one open of a node, as the kernel keeps them per file
// handle: what it subscribed to, and what waits for VIDIOC_DQEVENT in the
// order raised. Each subscription holds one event at a time: a newer one
// takes the older one's place (control events merge their changes). A
// descriptor of its own is readable while an event waits, so that a wait for
// exceptional conditions (POLLPRI) on the node can be answered through it.
#ifndef VCAM_EVENTS_H
#define VCAM_EVENTS_H

#include "descriptors.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdint.h>
#include <vector>

namespace vcam {

class EventQueue {
public:
    EventQueue();
    ~EventQueue();
    EventQueue(const EventQueue &) = delete;
    EventQueue &operator=(const EventQueue &) = delete;

    // Adds a subscription the node accepts (it checks type and id).
    void subscribe(const v4l2_event_subscription &sub);
    // Removes one (type V4L2_EVENT_ALL: every one); 0 or -errno.
    int unsubscribe(const v4l2_event_subscription &sub);
    bool subscribed(uint32_t type, uint32_t id, uint32_t *flags = nullptr) const;

    // Queues an event for its subscription, if any. `own`: raised by this
    // open's own request, which a control event reaches only with
    // V4L2_EVENT_SUB_FL_ALLOW_FEEDBACK.
    void raise(uint32_t type, uint32_t id, const void *data, size_t size, bool own);
    // The oldest event: 0, -ENOENT when none waits and `nonblock`.
    int dequeue(v4l2_event *out, bool nonblock);

    // Readable while an event waits; -1 if it could not be made.
    int ready_fd() const { return ready_fd_; }
    // Around fork(): the lock is held so the child gets a consistent queue.
    void lock() { mu_.lock(); }
    void unlock() { mu_.unlock(); }

private:
    void set_ready_locked();

    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<v4l2_event_subscription> subs_;
    std::deque<v4l2_event> pending_;
    uint32_t sequence_ = 0;
    int ready_fd_ = -1;
    bool ready_ = false;
};

} // namespace vcam

#endif
