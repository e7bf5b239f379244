#include "buffer_queue.h"

#include "buffer_math.h"
#include "device.h"
#include "libc.h"
#include "options.h"

#include <errno.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

namespace vcam {

namespace {

constexpr uint32_t kStateFlags = V4L2_BUF_FLAG_QUEUED | V4L2_BUF_FLAG_DONE | V4L2_BUF_FLAG_PREPARED;
// What an output buffer carries over to the capture buffer made from it.
constexpr uint32_t kOutputFlags = V4L2_BUF_FLAG_TIMECODE | V4L2_BUF_FLAG_TSTAMP_SRC_MASK | V4L2_BUF_FLAG_KEYFRAME |
                                  V4L2_BUF_FLAG_PFRAME | V4L2_BUF_FLAG_BFRAME;

bool is_output(uint32_t type)
{
    return type == V4L2_BUF_TYPE_VIDEO_OUTPUT;
}

// Whether every page of [addr, addr + len) is mapped in the process, as the
// kernel's pinning of a user buffer would find it.
bool user_memory_mapped(uint64_t addr, uint64_t len)
{
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    uintptr_t start = static_cast<uintptr_t>(addr) & ~(page - 1);
    uintptr_t end = static_cast<uintptr_t>(addr + len);
    if (end < start)
        return false;
    std::vector<unsigned char> pages((end - start + page - 1) / page + 1);
    return mincore(reinterpret_cast<void *>(start), end - start, pages.data()) == 0;
}

} // namespace

BufferQueue::BufferQueue(Ledger &ledger, const Config &config, std::string label)
    : ledger_(ledger), config_(config), label_(std::move(label))
{
}

BufferQueue::~BufferQueue()
{
    release();
}

uint32_t BufferQueue::capabilities() const
{
    return V4L2_BUF_CAP_SUPPORTS_MMAP | (config_.userptr ? V4L2_BUF_CAP_SUPPORTS_USERPTR : 0u);
}

int BufferQueue::reqbufs(uint32_t memory, unsigned *count, int forced, uint32_t size)
{
    if (memory != V4L2_MEMORY_MMAP && !(memory == V4L2_MEMORY_USERPTR && config_.userptr))
        return -EINVAL;
    if (streaming_)
        return -EBUSY;
    if (!bufs_.empty()) {
        // Buffers still mapped cannot be freed (no orphaned buffers here).
        for (const Buffer &b : bufs_)
            if (b.maps > 0)
                return -EBUSY;
        release();
    }
    if (*count == 0)
        return 0;
    unsigned granted = forced >= 0 ? static_cast<unsigned>(forced) : (*count > kMaxBuffers ? kMaxBuffers : *count);
    *count = granted;
    if (granted == 0)
        return 0; // --grant 0: the fault of a driver with no memory left
    return allocate(granted, size, memory);
}

int BufferQueue::create_bufs(uint32_t memory, unsigned *count, int forced, uint32_t size, uint32_t min_size,
                             unsigned *index)
{
    if (memory != V4L2_MEMORY_MMAP && !(memory == V4L2_MEMORY_USERPTR && config_.userptr))
        return -EINVAL;
    if (memory_ != 0 && memory != memory_)
        return -EINVAL;
    *index = static_cast<unsigned>(bufs_.size());
    if (*count == 0)
        return 0;
    if (size < min_size || size == 0)
        return -EINVAL;
    unsigned room = kMaxBuffers - static_cast<unsigned>(bufs_.size());
    if (room == 0)
        return -ENOBUFS;
    unsigned n = forced >= 0 ? static_cast<unsigned>(forced) : *count;
    if (n > room)
        n = room;
    *count = n;
    if (n == 0)
        return 0;
    return allocate(n, size, memory);
}

int BufferQueue::allocate(unsigned n, uint32_t size, uint32_t memory)
{
    std::vector<Buffer> made(n);
    uint64_t next = next_offset_;
    bool ok = true;
    for (Buffer &b : made) {
        b.length = size;
        b.stride = page_round(size);
        b.offset = config_.offset_base + next;
        next += b.stride;
        if (memory != V4L2_MEMORY_MMAP)
            continue;
        // One memfd a buffer: the program's mappings are real shared memory.
        ok = ok && next <= config_.offset_span;
        if (ok)
            b.fd = memfd_create(config_.pool_name, MFD_CLOEXEC);
        ok = ok && b.fd >= 0 && ftruncate(b.fd, static_cast<off_t>(b.stride)) == 0;
        void *p = ok ? libc::mmap(nullptr, b.stride, PROT_READ | PROT_WRITE, MAP_SHARED, b.fd, 0) : MAP_FAILED;
        ok = ok && p != MAP_FAILED;
        if (ok)
            b.mem = static_cast<uint8_t *>(p);
    }
    if (!ok) {
        for (Buffer &b : made) {
            if (b.mem != nullptr)
                libc::munmap(b.mem, b.stride);
            if (b.fd >= 0)
                libc::close(b.fd);
        }
        return -ENOMEM;
    }
    for (Buffer &b : made)
        bufs_.push_back(std::move(b));
    next_offset_ = next;
    memory_ = memory;
    ++generation_;
    return 0;
}

void BufferQueue::release()
{
    for (unsigned i = 0; i < bufs_.size(); ++i) {
        end_loan(i);
        Buffer &b = bufs_[i];
        if (b.mem != nullptr)
            libc::munmap(b.mem, b.stride);
        if (b.fd >= 0)
            libc::close(b.fd);
    }
    bufs_.clear();
    queued_.clear();
    done_.clear();
    memory_ = 0;
    next_offset_ = 0;
    ++generation_;
}

void BufferQueue::fill(unsigned index, BufferDesc *out) const
{
    const Buffer &b = bufs_[index];
    *out = BufferDesc{};
    out->index = index;
    out->type = config_.type;
    out->memory = memory_;
    out->field = field_;
    out->bytesused = b.bytesused;
    out->flags = (b.flags & ~(kStateFlags | V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_TIMESTAMP_MASK)) |
                 (config_.ts_copy ? V4L2_BUF_FLAG_TIMESTAMP_COPY : V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC);
    if (b.state == State::queued)
        out->flags |= V4L2_BUF_FLAG_QUEUED;
    else if (b.state == State::done)
        out->flags |= V4L2_BUF_FLAG_DONE;
    if (b.maps > 0)
        out->flags |= V4L2_BUF_FLAG_MAPPED;
    out->sec = b.stamp.tv_sec;
    out->usec = b.stamp.tv_nsec / 1000;
    out->sequence = b.sequence;
    out->addr = memory_ == V4L2_MEMORY_USERPTR ? b.userptr : b.offset;
    out->length = b.length;
}

int BufferQueue::querybuf(const BufferDesc &in, BufferDesc *out) const
{
    if (in.type != config_.type || in.index >= bufs_.size())
        return -EINVAL;
    fill(in.index, out);
    return 0;
}

int BufferQueue::check_qbuf(const BufferDesc &d, uint32_t min_length)
{
    if (d.type != config_.type || memory_ == 0 || d.memory != memory_ || d.index >= bufs_.size())
        return -EINVAL;
    Buffer &b = bufs_[d.index];
    if (b.state != State::dequeued) {
        violation("qbuf_not_held", static_cast<int>(d.index), "QBUF", "the program does not hold the buffer");
        return -EINVAL;
    }
    uint32_t length = b.length;
    if (memory_ == V4L2_MEMORY_USERPTR) {
        // The kernel pins the pages: no address, a buffer shorter than a
        // frame or memory that is not there is refused.
        if (d.addr == 0 || d.length < min_length || !user_memory_mapped(d.addr, d.length))
            return -EINVAL;
        length = d.length;
    }
    if (is_output(config_.type) && d.bytesused > length)
        return -EINVAL;
    if (b.lent > 0)
        violation("qbuf_lent", static_cast<int>(d.index), "QBUF", "another node still reads the buffer");
    return 0;
}

void BufferQueue::enqueue(const BufferDesc &d, BufferDesc *out)
{
    Buffer &b = bufs_[d.index];
    if (memory_ == V4L2_MEMORY_USERPTR) {
        b.userptr = d.addr;
        b.length = d.length;
    }
    b.sequence = 0;
    b.stamp = timespec{};
    if (is_output(config_.type)) {
        b.bytesused = d.bytesused == 0 && !config_.zero_bytesused ? b.length : d.bytesused;
        b.qflags = d.flags & kOutputFlags;
        if (config_.ts_copy) {
            b.stamp.tv_sec = static_cast<time_t>(d.sec);
            b.stamp.tv_nsec = static_cast<long>(d.usec) * 1000;
        }
    } else {
        b.bytesused = 0;
        b.qflags = d.flags & V4L2_BUF_FLAG_KEYFRAME; // a request for one (the encoder's)
    }
    b.flags = b.qflags;
    b.state = State::queued;
    b.taken = false;
    queued_.push_back(d.index);
    fill(d.index, out);
}

void BufferQueue::tick_dequeue()
{
    if (!streaming_)
        return;
    ++clock_;
    for (unsigned i = 0; i < bufs_.size(); ++i) {
        Buffer &b = bufs_[i];
        if (b.taken && !b.lost_reported && b.state == State::dequeued && clock_ - b.taken_at > kLostAfterDequeues) {
            b.lost_reported = true;
            violation("lost", static_cast<int>(i), "DQBUF",
                      "lost: not queued again for " + std::to_string(kLostAfterDequeues) +
                          " dequeue requests while the queue streams");
        }
    }
}

int BufferQueue::dequeue(BufferDesc *out)
{
    if (!streaming_)
        return -EINVAL;
    if (done_.empty())
        return -EAGAIN;
    unsigned index = done_.front();
    done_.pop_front();
    return_to_program(index);
    Buffer &b = bufs_[index];
    b.taken = true;
    b.lost_reported = false;
    b.taken_at = clock_;
    fill(index, out);
    return 0;
}

void BufferQueue::return_to_program(unsigned index)
{
    bufs_[index].state = State::dequeued;
    end_loan(index);
}

int BufferQueue::streamon()
{
    if (memory_ == 0 || bufs_.empty())
        return -EINVAL;
    if (streaming_)
        return 0;
    streaming_ = true;
    sequence_ = 0;
    return 0;
}

void BufferQueue::streamoff()
{
    streaming_ = false;
    for (unsigned i = 0; i < bufs_.size(); ++i) {
        if (bufs_[i].state != State::dequeued)
            return_to_program(i);
        // Given back wholesale: the program owes none of them.
        bufs_[i].taken = false;
    }
    queued_.clear();
    done_.clear();
}

unsigned BufferQueue::take_queued()
{
    unsigned index = queued_.front();
    queued_.pop_front();
    return index;
}

void BufferQueue::complete(unsigned index, bool stamp_now)
{
    Buffer &b = bufs_[index];
    b.state = State::done;
    b.sequence = sequence_++;
    if (stamp_now)
        clock_gettime(CLOCK_MONOTONIC, &b.stamp);
    done_.push_back(index);
}

bool BufferQueue::owns_offset(uint64_t offset) const
{
    return offset >= config_.offset_base && offset - config_.offset_base < config_.offset_span;
}

int BufferQueue::index_at(uint64_t offset) const
{
    if (memory_ != V4L2_MEMORY_MMAP)
        return -1;
    for (unsigned i = 0; i < bufs_.size(); ++i)
        if (bufs_[i].offset == offset)
            return static_cast<int>(i);
    return -1;
}

void *BufferQueue::map(size_t len, int prot, int flags, uint64_t offset, int *err)
{
    int i = index_at(offset);
    if (i < 0 || !(flags & MAP_SHARED) || len == 0 || len > bufs_[static_cast<unsigned>(i)].stride) {
        *err = EINVAL;
        return nullptr;
    }
    Buffer &b = bufs_[static_cast<unsigned>(i)];
    void *p = libc::mmap(nullptr, len, prot, flags & ~MAP_FIXED, b.fd, 0);
    if (p == MAP_FAILED) {
        *err = errno;
        return nullptr;
    }
    ++b.maps;
    return p;
}

void BufferQueue::unmapped(uint64_t offset, bool refused)
{
    int i = index_at(offset);
    if (i < 0)
        return;
    Buffer &b = bufs_[static_cast<unsigned>(i)];
    if (b.maps > 0)
        --b.maps;
    if (refused && b.refused > 0)
        --b.refused;
}

void BufferQueue::unmap_refused(uint64_t offset)
{
    int i = index_at(offset);
    if (i >= 0 && bufs_[static_cast<unsigned>(i)].refused < bufs_[static_cast<unsigned>(i)].maps)
        ++bufs_[static_cast<unsigned>(i)].refused;
}

LendResult BufferQueue::lend(uint64_t addr, uint64_t len, bool mapped, uint64_t offset, const std::string &borrower,
                             const std::weak_ptr<Device> &self, Loan *loan)
{
    int found = -1;
    if (mapped) {
        found = index_at(offset);
    } else if (memory_ == V4L2_MEMORY_USERPTR) {
        for (unsigned i = 0; i < bufs_.size() && found < 0; ++i)
            if (bufs_[i].userptr != 0 && bufs_[i].userptr == addr)
                found = static_cast<int>(i);
    }
    if (found < 0 || len > bufs_[static_cast<unsigned>(found)].length)
        return LendResult::foreign;
    unsigned i = static_cast<unsigned>(found);
    Buffer &b = bufs_[i];
    loan->owner = label_ + " buffer " + std::to_string(i);
    if (b.state != State::dequeued) {
        loan->held_by = owner_of(i);
        return LendResult::not_held;
    }
    ++b.lent;
    b.borrower = borrower;
    loan->lender = self;
    loan->queue = this;
    loan->index = i;
    loan->generation = generation_;
    return LendResult::lent;
}

void BufferQueue::give_back(unsigned index, uint64_t generation)
{
    if (generation == generation_ && index < bufs_.size() && bufs_[index].lent > 0)
        --bufs_[index].lent;
}

bool BufferQueue::still_lent(unsigned index, uint64_t generation) const
{
    return generation == generation_ && index < bufs_.size() && bufs_[index].state == State::dequeued &&
           bufs_[index].lent > 0;
}

void BufferQueue::end_loan(unsigned index)
{
    Loan &loan = bufs_[index].loan;
    if (loan.queue == nullptr)
        return;
    if (std::shared_ptr<Device> lender = loan.lender.lock())
        lender->give_back(loan);
    loan = Loan{};
}

void BufferQueue::check_close()
{
    for (unsigned i = 0; i < bufs_.size(); ++i) {
        if (bufs_[i].maps > bufs_[i].refused)
            violation("close_mapped", static_cast<int>(i), "close", "the buffer is still mapped");
        if (bufs_[i].lent > 0)
            violation("close_lent", static_cast<int>(i), "close", "another node still reads the buffer");
    }
}

std::string BufferQueue::owner_of(unsigned index) const
{
    const Buffer &b = bufs_[index];
    switch (b.state) {
    case State::queued: return "the driver, queued";
    case State::done: return "the driver, done and not dequeued";
    case State::dequeued: break;
    }
    return b.lent > 0 ? "the program, lent to " + b.borrower : "the program";
}

void BufferQueue::violation(const char *kind, int index, const char *request, const std::string &what,
                            const std::string &owner) const
{
    std::string text = label_;
    if (index >= 0)
        text += " buffer " + std::to_string(index);
    text += ": " + std::string(request) + ": " + what;
    if (!owner.empty())
        text += " (owner: " + owner + ")";
    else if (index >= 0 && static_cast<unsigned>(index) < bufs_.size())
        text += " (owner: " + owner_of(static_cast<unsigned>(index)) + ")";
    ledger_.violation(kind, text);
}

} // namespace vcam
