// The rules of the kernel's buffer framework (videobuf2) on every queue of
// the virtual nodes, in both buffer-descriptor layouts: one table of request
// sequences and the errno each request must give, run on the ISP, on both
// queues of the encoder and on both queues of the decoder.
#include "v4l2_abi.h"
#include "vcam_client.h"

#include <map>
#include <memory>
#include <string>

using namespace vcam_test;

namespace {

namespace cam = kep::abi::camera;

constexpr uint32_t kOutput = V4L2_BUF_TYPE_VIDEO_OUTPUT;
constexpr uint32_t kStates = V4L2_BUF_FLAG_QUEUED | V4L2_BUF_FLAG_DONE;

struct QueueKind {
    const char *name, *path;
    uint32_t type;
    uint32_t caps; // V4L2_BUF_CAP_* of REQBUFS
};

const QueueKind kKinds[] = {
    {"isp", "/dev/video0", kCapture, V4L2_BUF_CAP_SUPPORTS_MMAP | V4L2_BUF_CAP_SUPPORTS_USERPTR},
    {"enc_out", "/dev/video1", kOutput, V4L2_BUF_CAP_SUPPORTS_MMAP | V4L2_BUF_CAP_SUPPORTS_USERPTR},
    {"enc_cap", "/dev/video1", kCapture, V4L2_BUF_CAP_SUPPORTS_MMAP},
    {"dec_out", "/dev/video2", kOutput, V4L2_BUF_CAP_SUPPORTS_MMAP},
    {"dec_cap", "/dev/video2", kCapture, V4L2_BUF_CAP_SUPPORTS_MMAP},
};

enum class Op { reqbufs, userptr_reqbufs, dmabuf_reqbufs, create, qbuf, userptr_qbuf, dqbuf, querybuf, on, off, map, unmap };

// One request and what it must give: an errno (0 success) and, for
// QUERYBUF, the state flags.
struct Step {
    Op op;
    unsigned arg = 0;
    int err = 0;
    uint32_t states = 0;
};

// userptr_reqbufs answers this: 0 where the queue takes user pointers.
constexpr int kEinvalUnlessUserptr = -1;

struct Row {
    const char *name;
    std::vector<Step> steps;
    long violations = 0;
};

const Row kRows[] = {
    {"STREAMON before any REQBUFS", {{Op::on, 0, EINVAL}, {Op::reqbufs, 2}, {Op::on}}},
    {"STREAMON after REQBUFS 0", {{Op::reqbufs, 0}, {Op::on, 0, EINVAL}}},
    {"DQBUF on a queue that does not stream", {{Op::reqbufs, 2}, {Op::qbuf, 0}, {Op::dqbuf, 0, EINVAL}}},
    {"REQBUFS while streaming",
     {{Op::reqbufs, 2}, {Op::on}, {Op::reqbufs, 2, EBUSY}, {Op::reqbufs, 0, EBUSY}, {Op::off}, {Op::reqbufs, 0}}},
    {"REQBUFS while a buffer is mapped",
     {{Op::reqbufs, 2}, {Op::map, 1}, {Op::reqbufs, 0, EBUSY}, {Op::reqbufs, 3, EBUSY}, {Op::unmap, 1},
      {Op::reqbufs, 3}}},
    {"QBUF of a buffer already queued",
     {{Op::reqbufs, 2}, {Op::qbuf, 0}, {Op::qbuf, 0, EINVAL}, {Op::querybuf, 0, 0, V4L2_BUF_FLAG_QUEUED}},
     1},
    {"wrong index or memory",
     {{Op::reqbufs, 2}, {Op::qbuf, 2, EINVAL}, {Op::querybuf, 2, EINVAL}, {Op::userptr_qbuf, 0, EINVAL},
      {Op::qbuf, 0}}},
    {"STREAMOFF gives every buffer back",
     {{Op::reqbufs, 2}, {Op::qbuf, 0}, {Op::qbuf, 1}, {Op::on}, {Op::off}, {Op::querybuf, 0, 0, 0},
      {Op::querybuf, 1, 0, 0}, {Op::dqbuf, 0, EINVAL}, {Op::qbuf, 0}, {Op::qbuf, 1}}},
    {"STREAMON and STREAMOFF twice, STREAMOFF with no buffers",
     {{Op::off}, {Op::reqbufs, 1}, {Op::on}, {Op::on}, {Op::off}, {Op::off}}},
    {"REQBUFS 0 frees", {{Op::reqbufs, 2}, {Op::reqbufs, 0}, {Op::querybuf, 0, EINVAL}, {Op::qbuf, 0, EINVAL}}},
    {"memory kinds",
     {{Op::dmabuf_reqbufs, 0, EINVAL}, {Op::userptr_reqbufs, 0, kEinvalUnlessUserptr}, {Op::reqbufs, 1},
      {Op::userptr_qbuf, 0, EINVAL}}},
    {"CREATE_BUFS adds buffers of at least the format's size",
     {{Op::reqbufs, 1}, {Op::create, 50, EINVAL}, {Op::create, 100}, {Op::create, 200}, {Op::querybuf, 2}}},
};

// One open of the node behind a queue kind, set up at a small size, in the
// host's or the camera's buffer layout, non-blocking.
class Driver {
public:
    Driver(const QueueKind &k, bool camera) : k_(k), camera_(camera)
    {
        fd_ = open(k.path, O_RDWR | O_NONBLOCK);
        bool isp = k.type == kCapture && strcmp(k.name, "isp") == 0;
        uint32_t stream = v4l2_fourcc('H', '2', '6', '4');
        if (isp) {
            ok_ = fd_ >= 0 && set_format(fd_, kCapture, kS420, 64, 48) == 0;
        } else {
            bool enc = k.path[strlen(k.path) - 1] == '1';
            ok_ = fd_ >= 0 && set_format(fd_, kOutput, enc ? kS420 : stream) == 0 &&
                  set_format(fd_, kCapture, enc ? stream : kS420) == 0;
        }
    }
    ~Driver()
    {
        for (auto &m : maps_)
            munmap(m.second.start, m.second.length);
        if (fd_ >= 0)
            close(fd_);
    }
    bool ok() const { return ok_; }

    // The step's errno (0: it succeeded); the state flags of QUERYBUF go to
    // *states.
    int run(const Step &s, uint32_t *states)
    {
        switch (s.op) {
        case Op::reqbufs: return reqbufs(s.arg, V4L2_MEMORY_MMAP);
        case Op::userptr_reqbufs: return reqbufs(s.arg, V4L2_MEMORY_USERPTR);
        case Op::dmabuf_reqbufs: return reqbufs(s.arg, V4L2_MEMORY_DMABUF);
        case Op::create: return create(s.arg);
        case Op::qbuf: return buffer_request(VIDIOC_QBUF, cam::QBUF, s.arg, V4L2_MEMORY_MMAP, states);
        case Op::userptr_qbuf: return buffer_request(VIDIOC_QBUF, cam::QBUF, s.arg, V4L2_MEMORY_USERPTR, states);
        case Op::dqbuf: return buffer_request(VIDIOC_DQBUF, cam::DQBUF, s.arg, V4L2_MEMORY_MMAP, states);
        case Op::querybuf: return buffer_request(VIDIOC_QUERYBUF, cam::QUERYBUF, s.arg, V4L2_MEMORY_MMAP, states);
        case Op::on: return error_of(ioctl(fd_, VIDIOC_STREAMON, &k_.type));
        case Op::off: return error_of(ioctl(fd_, VIDIOC_STREAMOFF, &k_.type));
        case Op::map: return map(s.arg);
        case Op::unmap: {
            Mapping m = maps_[s.arg];
            maps_.erase(s.arg);
            return error_of(munmap(m.start, m.length));
        }
        }
        return -1;
    }

private:
    int reqbufs(unsigned count, uint32_t memory)
    {
        v4l2_requestbuffers rb;
        memset(&rb, 0, sizeof rb);
        rb.count = count;
        rb.type = k_.type;
        rb.memory = memory;
        int e = error_of(ioctl(fd_, VIDIOC_REQBUFS, &rb));
        if (e == 0) {
            EXPECT_EQ(rb.capabilities, k_.caps) << "REQBUFS capabilities";
            count_ = rb.count;
        }
        return e;
    }

    // CREATE_BUFS of one buffer of `percent` of the format's image size.
    int create(unsigned percent)
    {
        v4l2_create_buffers cb;
        memset(&cb, 0, sizeof cb);
        cb.count = 1;
        cb.memory = V4L2_MEMORY_MMAP;
        cb.format.type = k_.type;
        if (ioctl(fd_, VIDIOC_G_FMT, &cb.format) != 0)
            return -1;
        cb.format.fmt.pix.sizeimage = static_cast<uint32_t>(uint64_t(cb.format.fmt.pix.sizeimage) * percent / 100);
        int e = error_of(ioctl(fd_, VIDIOC_CREATE_BUFS, &cb));
        if (e == 0) {
            EXPECT_EQ(cb.count, 1u);
            EXPECT_EQ(cb.capabilities, k_.caps) << "CREATE_BUFS capabilities";
            EXPECT_EQ(cb.index, count_) << "the new buffer follows the others";
            count_ += cb.count;
        }
        return e;
    }

    int map(unsigned index)
    {
        v4l2_buffer b;
        memset(&b, 0, sizeof b);
        b.type = k_.type;
        b.memory = V4L2_MEMORY_MMAP;
        b.index = index;
        if (ioctl(fd_, VIDIOC_QUERYBUF, &b) != 0)
            return errno;
        void *p = mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, b.m.offset);
        if (p == MAP_FAILED)
            return errno;
        maps_[index] = Mapping{static_cast<uint8_t *>(p), b.length};
        return 0;
    }

    // QBUF, DQBUF or QUERYBUF in the chosen layout. A user-pointer QBUF
    // names memory of the test's own.
    int buffer_request(unsigned long host, unsigned long camera, unsigned index, uint32_t memory, uint32_t *states)
    {
        static std::vector<uint8_t> own(1 << 20);
        int r;
        uint32_t flags = 0;
        if (camera_) {
            cam::buffer b;
            memset(&b, 0, sizeof b);
            b.index = index;
            b.type = k_.type;
            b.memory = memory;
            if (memory == V4L2_MEMORY_USERPTR) {
                b.m.userptr = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(own.data()));
                b.length = static_cast<uint32_t>(own.size());
            }
            r = ioctl(fd_, camera, &b);
            flags = b.flags;
        } else {
            v4l2_buffer b;
            memset(&b, 0, sizeof b);
            b.index = index;
            b.type = k_.type;
            b.memory = memory;
            if (memory == V4L2_MEMORY_USERPTR) {
                b.m.userptr = reinterpret_cast<unsigned long>(own.data());
                b.length = static_cast<uint32_t>(own.size());
            }
            r = ioctl(fd_, host, &b);
            flags = b.flags;
        }
        *states = flags & kStates;
        return error_of(r);
    }

    const QueueKind &k_;
    bool camera_;
    int fd_ = -1;
    bool ok_ = false;
    std::map<unsigned, Mapping> maps_;
    unsigned count_ = 0; // buffers the queue has
};

struct Case {
    const QueueKind *kind;
    bool camera;
};

class VcamQueueRules : public ::testing::TestWithParam<Case> {};

TEST_P(VcamQueueRules, EveryRequestAnswersAsTheBufferFrameworkDoes)
{
    const Case &c = GetParam();
    for (const Row &row : kRows) {
        // Some rows break an ownership rule on purpose; each counts its own.
        configure_lenient("--fps 200");
        {
            Driver d(*c.kind, c.camera);
            ASSERT_TRUE(d.ok()) << c.kind->name;
            for (size_t i = 0; i < row.steps.size(); ++i) {
                const Step &s = row.steps[i];
                int want = s.err;
                if (want == kEinvalUnlessUserptr)
                    want = (c.kind->caps & V4L2_BUF_CAP_SUPPORTS_USERPTR) ? 0 : EINVAL;
                uint32_t states = 0;
                int got = d.run(s, &states);
                EXPECT_EQ(got, want) << c.kind->name << ": " << row.name << ", step " << i << ": "
                                     << (got ? strerror(got) : "success");
                if (s.op == Op::querybuf && got == 0) {
                    EXPECT_EQ(states, s.states) << c.kind->name << ": " << row.name << ", step " << i;
                }
            }
        }
        EXPECT_EQ(vcam_stat("violations"), row.violations) << c.kind->name << ": " << row.name;
    }
}

std::vector<Case> all_cases()
{
    std::vector<Case> cases;
    for (const QueueKind &k : kKinds)
        for (bool camera : {false, true})
            cases.push_back(Case{&k, camera});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryQueue, VcamQueueRules, ::testing::ValuesIn(all_cases()),
                         [](const ::testing::TestParamInfo<Case> &i) {
                             return std::string(i.param.kind->name) + (i.param.camera ? "_camera" : "_host");
                         });

} // namespace

namespace {

// Two opens of one node, a request from either, and its answer.
struct OpenStep {
    int open; // 0 or 1; 2 closes open 1
    Op op;
    unsigned arg;
    int err;
};

} // namespace

// The ISP's one queue belongs to the open that requested its buffers until
// it frees them or closes; an M2M node's every open is a context of its own.
TEST(VcamQueueOwner, TheIspQueueBelongsToOneOpenAnM2MNodesToEach)
{
    const OpenStep isp[] = {
        {0, Op::reqbufs, 2, 0},  {1, Op::reqbufs, 1, EBUSY}, {1, Op::reqbufs, 0, EBUSY}, {1, Op::create, 100, EBUSY},
        {1, Op::qbuf, 0, EBUSY}, {1, Op::on, 0, EBUSY},      {1, Op::off, 0, EBUSY},     {1, Op::querybuf, 0, 0},
        {0, Op::reqbufs, 0, 0},  {1, Op::reqbufs, 1, 0},     {0, Op::reqbufs, 1, EBUSY}, {2, Op::off, 0, 0},
        {0, Op::reqbufs, 1, 0},
    };
    const OpenStep m2m[] = {
        {0, Op::reqbufs, 2, 0}, {1, Op::reqbufs, 1, 0}, {1, Op::qbuf, 0, 0}, {0, Op::qbuf, 0, 0}, {1, Op::on, 0, 0},
    };
    struct Case {
        const QueueKind &kind;
        const OpenStep *steps;
        size_t n;
    } cases[] = {{kKinds[0], isp, sizeof isp / sizeof isp[0]}, {kKinds[2], m2m, sizeof m2m / sizeof m2m[0]}};
    for (const Case &c : cases) {
        configure("--fps 200");
        std::unique_ptr<Driver> d[2] = {std::make_unique<Driver>(c.kind, false), std::make_unique<Driver>(c.kind, false)};
        ASSERT_TRUE(d[0]->ok() && d[1]->ok()) << c.kind.name;
        for (size_t i = 0; i < c.n; ++i) {
            const OpenStep &s = c.steps[i];
            if (s.open == 2) {
                d[1].reset();
                continue;
            }
            uint32_t states = 0;
            EXPECT_EQ(d[s.open]->run(Step{s.op, s.arg}, &states), s.err) << c.kind.name << ", step " << i;
        }
    }
    int fd = open("/dev/video0", O_RDWR | O_NONBLOCK), other = open("/dev/video0", O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(request(fd, kCapture, V4L2_MEMORY_MMAP, 1), 1);
    char c;
    EXPECT_EQ(error_of(static_cast<int>(read(other, &c, 1))), EBUSY) << "read() while another open holds the queue";
    close(other);
    close(fd);
}
