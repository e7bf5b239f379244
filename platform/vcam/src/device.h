// The device model's common base. Each open of a node path makes one Device;
// the program gets a real eventfd as its descriptor, so select() and poll()
// work without wrapping: a device makes it readable when a dequeue or read
// would succeed. Device classes (the ISP capture node today; the codec's M2M
// nodes and datastamp files later) override the hooks they answer.
#ifndef VCAM_DEVICE_H
#define VCAM_DEVICE_H

#include "buffer_queue.h"
#include "descriptors.h"
#include "events.h"
#include "ledger.h"
#include "options.h"

#include <errno.h>
#include <map>
#include <memory>
#include <mutex>
#include <stdint.h>
#include <string>
#include <sys/types.h>

namespace vcam {

class IspDevice;

// What QUERYCAP names as driver and card for a device class ("isp", "enc",
// "dec"); sysfs names the nodes' platform device after the driver.
const char *driver_of(const std::string &kind);
const char *card_of(const std::string &kind);

class Device : public std::enable_shared_from_this<Device> {
public:
    Device(Ledger &ledger, const Options &options, std::string path);
    virtual ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    // Creates the program's descriptor (an eventfd honouring O_NONBLOCK and
    // O_CLOEXEC of the open flags). Returns it, or -errno.
    int create_handle(int open_flags);
    const std::string &path() const { return path_; }

    // A driver request: counted by name, then the EINTR and --fail faults,
    // then handle_ioctl(). Returns 0 or -errno.
    int ioctl(unsigned long request, void *arg, bool nonblock);

    // read() of the node: bytes read or -errno.
    virtual long read(void *buf, size_t n, bool nonblock);
    // mmap() of the node: the mapping, or nullptr with *err set.
    virtual void *mmap(size_t len, int prot, int flags, off_t offset, int *err);
    // The program unmapped its mapping at that offset (`refused`: an earlier
    // munmap of it was failed by the platform).
    virtual void unmapped(uint64_t offset, bool refused) { (void)offset, (void)refused; }
    // The platform failed the program's munmap of that mapping.
    virtual void unmap_refused(uint64_t offset) { (void)offset; }
    // "isp /dev/video0 buffer 1": the buffer at a mapping offset, for messages.
    virtual std::string buffer_label(uint64_t offset);
    // The program closed its last descriptor of this open.
    virtual void shutdown() {}

    virtual IspDevice *as_isp() { return nullptr; }

    // Readable while an event waits for VIDIOC_DQEVENT (see EventQueue).
    int event_ready_fd() const { return events_.ready_fd(); }

    // The device class for node-scoped faults and counters: "isp", "enc".
    virtual const char *kind() const = 0;

    // Lends [addr, addr + len) to another node's queue (`borrower`) when it
    // is one of this device's buffers and the program holds it: a picture
    // the borrower reads in place. `mapped`: addr lies in the program's
    // mapping of this device at `offset`; otherwise addr is a user pointer.
    // A device class whose buffers may feed the encoder overrides these; the
    // others never lock here, so a borrower may ask every device, itself too.
    virtual LendResult lend(uint64_t addr, uint64_t len, bool mapped, uint64_t offset, const std::string &borrower,
                            Loan *loan)
    {
        (void)addr, (void)len, (void)mapped, (void)offset, (void)borrower, (void)loan;
        return LendResult::foreign;
    }
    // The borrower has it no more; whether it still has it, as the program
    // left it (held, not queued back here).
    virtual void give_back(const Loan &loan) { (void)loan; }
    virtual bool still_lent(const Loan &loan) { (void)loan; return false; }

    // Around fork(): hold the device's locks so the child gets them in a
    // consistent state, then let go (the child restarts its own threads).
    virtual void before_fork() {}
    virtual void after_fork(bool child) { (void)child; }

protected:
    // Where a request lands for --fail rules with a node ("enc.cap"); the
    // device class by default.
    virtual std::string fault_scope(const char *name, const void *arg) const
    {
        (void)name, (void)arg;
        return kind();
    }

    // Reads a buffer descriptor in whichever layout the request code names
    // and counts that layout; Abi::none (nothing read) for a code of neither.
    Abi load_counted_buffer(unsigned long request, const void *arg, BufferDesc *d);

    // The request proper; name is the request name without VIDIOC_.
    virtual int handle_ioctl(const char *name, unsigned long request, void *arg, bool nonblock) = 0;

    // Whether the node raises events at all; without, the event requests
    // are unknown to it.
    virtual bool has_events() const { return false; }
    // VIDIOC_SUBSCRIBE_EVENT: subscribes through events_ (with the initial
    // event the flags ask for), or -EINVAL for an event the node does not
    // raise.
    virtual int subscribe_event(const v4l2_event_subscription &sub)
    {
        (void)sub;
        return -EINVAL;
    }
    EventQueue events_;

    // VIDIOC_QUERYCAP for a node of these capabilities.
    int fill_capability(void *arg, uint32_t device_caps) const;

    // Makes the program's descriptor readable or not; the caller serialises.
    void set_readable(bool ready);

    // An index no table has, and the buffer flag of a frame lost in the
    // driver, for the dequeue faults of --fail.
    static constexpr uint32_t kBadIndex = 0x7fff, kErrorFlag = 0x40;

    Ledger &ledger_;
    const Options options_; // as they were when the node was opened

private:
    // A dequeue that succeeded, changed as a --fail rule asks.
    void change_dequeued(unsigned long request, void *arg, FailEffect effect);

    std::string path_;
    int event_fd_ = -1; // our own duplicate of the program's eventfd
    bool readable_ = false;
    // The requests every node answers alike (priority, events, status); false
    // when the node answers the request itself.
    bool core_ioctl(const char *name, void *arg, bool nonblock, int *result);

    uint32_t priority_; // this open's V4L2_PRIORITY_*
    std::mutex eintr_mu_;
    std::map<unsigned long, int> eintr_given_; // per request code, since its last success
};

} // namespace vcam

#endif
