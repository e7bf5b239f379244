// One V4L2 buffer queue as the kernel's buffer framework (videobuf2) keeps it
// for a driver: buffer allocation and mapping, the queue/dequeue/stream rules
// and their errors, and who owns each buffer at every moment. The ISP node
// has one of these, each M2M node two; the node adds what it does with a
// queued buffer (fills it, codes it, decodes it) and takes its own lock
// around every call.
//
// Ownership: every buffer is with the program (dequeued), with the driver
// (queued or done), and a buffer the program holds may also be lent: queued
// by user pointer on another node's queue, which reads it in place. What
// breaks these rules is a violation, counted and, under --strict, the end of
// the program (see Ledger::violation).
#ifndef VCAM_BUFFER_QUEUE_H
#define VCAM_BUFFER_QUEUE_H

#include "descriptors.h"
#include "ledger.h"

#include <deque>
#include <memory>
#include <stdint.h>
#include <string>
#include <time.h>
#include <vector>

namespace vcam {

class BufferQueue;
class Device;

// A buffer of one node that the program queued on another node's queue by
// user pointer: held by the borrower until it comes back to the program there.
struct Loan {
    std::weak_ptr<Device> lender;
    BufferQueue *queue = nullptr; // the lender's queue; null: no loan
    unsigned index = 0;
    uint64_t generation = 0;
    std::string owner; // "isp /dev/video0 buffer 3"
    std::string held_by; // its owner when it could not be lent: "the driver, queued"
};

enum class LendResult {
    foreign,  // no buffer of the node
    lent,     // a buffer the program holds: lent now
    not_held, // the node's buffer, but queued with it
};

// A buffer held past this many dequeue requests on its queue while the queue
// streams counts as lost: three rounds of the most buffers a queue grants.
constexpr uint64_t kLostAfterDequeues = 48;

class BufferQueue {
public:
    enum class State : uint8_t { dequeued, queued, done };

    struct Buffer {
        State state = State::dequeued;
        // Memory: a memfd of its own (memory-mapped) or the program's.
        int fd = -1;
        uint8_t *mem = nullptr; // our mapping of the memfd
        size_t stride = 0;      // page-rounded size of the memfd
        uint64_t offset = 0;    // mmap offset the program uses
        uint32_t length = 0;
        uint64_t userptr = 0;
        // What the program queued and what the driver gives back.
        uint32_t bytesused = 0, flags = 0, qflags = 0, sequence = 0;
        timespec stamp{};
        uint64_t tag = 0; // the node's own (the ISP's frame number)
        // Ownership.
        unsigned maps = 0;    // live mappings of it in the program
        unsigned refused = 0; // of those, ones whose munmap the platform failed
        unsigned lent = 0;    // loans to other nodes' queues
        std::string borrower; // the last borrower, for messages
        bool taken = false;   // dequeued while streaming, not queued since
        bool lost_reported = false;
        uint64_t taken_at = 0; // the dequeue clock then
        Loan loan;             // what this user-pointer buffer borrows
    };

    struct Config {
        uint32_t type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        bool userptr = false;        // takes user pointers besides memory-mapped buffers
        bool zero_bytesused = false; // an output buffer queued with 0 bytes stays empty
        bool ts_copy = false;        // timestamps come from the program (M2M)
        uint64_t offset_base = 0;    // mmap offsets start here
        uint64_t offset_span = 0x38000000;
        const char *pool_name = "vcam";
    };

    // `label` names the queue in messages and counters' keys: "isp
    // /dev/video0", "enc.cap /dev/video1".
    BufferQueue(Ledger &ledger, const Config &config, std::string label);
    ~BufferQueue();
    BufferQueue(const BufferQueue &) = delete;
    BufferQueue &operator=(const BufferQueue &) = delete;

    uint32_t type() const { return config_.type; }
    uint32_t memory() const { return memory_; }
    unsigned count() const { return static_cast<unsigned>(bufs_.size()); }
    bool streaming() const { return streaming_; }
    bool has_done() const { return !done_.empty(); }
    Buffer &buffer(unsigned i) { return bufs_[i]; }
    const Buffer &buffer(unsigned i) const { return bufs_[i]; }
    const std::string &label() const { return label_; }
    // The field order every buffer carries (the node's format).
    void set_field(uint32_t field) { field_ = field; }

    // V4L2_BUF_CAP_* of REQBUFS and CREATE_BUFS.
    uint32_t capabilities() const;

    // The requests; 0 or -errno. `forced`: a granted count the platform
    // imposes (--grant), or -1; `size`: the bytes of one buffer now.
    int reqbufs(uint32_t memory, unsigned *count, int forced, uint32_t size);
    // Adds buffers of at least `size` bytes; *index is the first new one.
    int create_bufs(uint32_t memory, unsigned *count, int forced, uint32_t size, uint32_t min_size,
                    unsigned *index);
    int querybuf(const BufferDesc &in, BufferDesc *out) const;
    // QBUF in two steps around the node's own checks: the framework's rules
    // (and the ownership check), then the buffer goes to the driver and `out`
    // describes it as the kernel answers.
    int check_qbuf(const BufferDesc &d, uint32_t min_length);
    void enqueue(const BufferDesc &d, BufferDesc *out);
    // The oldest done buffer to the program; -EAGAIN when none is done.
    // tick_dequeue() first: every dequeue request on a streaming queue moves
    // the clock that finds lost buffers.
    void tick_dequeue();
    int dequeue(BufferDesc *out);
    int streamon();
    void streamoff();
    // Frees every buffer (REQBUFS 0, close); loans end.
    void release();
    // The node is closing: what the program still has of it.
    void check_close();

    // The driver's side.
    int first_queued() const { return queued_.empty() ? -1 : static_cast<int>(queued_.front()); }
    unsigned take_queued();
    void complete(unsigned index, bool stamp_now);
    uint8_t *data(unsigned index) { return bufs_[index].mem; }

    // Mappings.
    bool owns_offset(uint64_t offset) const;
    void *map(size_t len, int prot, int flags, uint64_t offset, int *err);
    // `refused`: the platform had failed an earlier munmap of that mapping.
    void unmapped(uint64_t offset, bool refused);
    // The platform failed an munmap (--fail munmap): a mapping alive at
    // close through no fault of the program.
    void unmap_refused(uint64_t offset);
    // The buffer behind a mapping offset, or -1.
    int index_at(uint64_t offset) const;

    // Loans. lend(): [addr, addr + len) as another node's queue names it
    // (`mapped`: inside the program's mapping at `offset`).
    LendResult lend(uint64_t addr, uint64_t len, bool mapped, uint64_t offset, const std::string &borrower,
                    const std::weak_ptr<Device> &self, Loan *loan);
    void give_back(unsigned index, uint64_t generation);
    bool still_lent(unsigned index, uint64_t generation) const;
    // Ends the loan that buffer `index` of this queue holds, if any.
    void end_loan(unsigned index);

    // "the driver", "the program", "lent to ..."
    std::string owner_of(unsigned index) const;
    // Counts (and under --strict ends at) a violation about buffer `index`
    // (-1: none), owned by `owner` (empty: as it is here now).
    void violation(const char *kind, int index, const char *request, const std::string &what,
                   const std::string &owner = std::string()) const;

private:
    // Appends n buffers of `size` bytes, all or none.
    int allocate(unsigned n, uint32_t size, uint32_t memory);
    void fill(unsigned index, BufferDesc *out) const;
    void return_to_program(unsigned index);

    Ledger &ledger_;
    Config config_;
    std::string label_;
    uint32_t memory_ = 0; // 0: no buffers
    uint32_t field_ = V4L2_FIELD_NONE;
    std::vector<Buffer> bufs_;
    std::deque<unsigned> queued_, done_;
    bool streaming_ = false;
    uint32_t sequence_ = 0;
    uint64_t generation_ = 1; // new with every allocation and release
    uint64_t clock_ = 0;      // dequeue requests while streaming
    uint64_t next_offset_ = 0;
};

} // namespace vcam

#endif
