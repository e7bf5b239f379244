// Harness for the ISP capture tests: the virtual camera is linked into the
// test executable, so its wrappers answer the library's requests in-process.
// Messages are captured from the real standard output and error descriptors;
// process-ending paths run in a forked child.
#ifndef KEP_TESTS_ISP_HARNESS_H
#define KEP_TESTS_ISP_HARNESS_H

#include "kep_vc.h"
#include "vcam.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <functional>
#include <string>

namespace kep_test {

// What a child process printed and how it ended. `returned` is set when the
// body ran to its end; `result` is then the body's value.
struct ChildRun {
    int status = 0;
    std::string out;
    std::string err;
    bool returned = false;
    int result = 0;

    bool exited_with(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
    bool aborted() const { return WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT; }
    std::string describe() const;
};

// Runs body in a forked child with its standard output and error captured.
ChildRun run_in_child(const std::function<int()> &body);

// Captures descriptors 1 and 2 (and the stdio buffers in front of them)
// while in scope.
class OutputCapture {
public:
    OutputCapture();
    ~OutputCapture();
    // Stops capturing and returns what was written.
    void finish();
    const std::string &out() const { return out_; }
    const std::string &err() const { return err_; }

private:
    int saved_[2] = {-1, -1};
    int files_[2] = {-1, -1};
    std::string out_, err_;
    bool done_ = false;
};

// Full-line regular-expression match of one line of text.
bool has_line(const std::string &text, const std::string &regex);

// A zero-filled record with the configuration of a 1280x720 'S420' stream.
kep_m2m make_record(uint32_t isp_io, uint32_t buffers = 2);

// Whether the record streams driver buffers (memory-mapped or user pointer);
// in read mode the driver, holding no buffers, refuses to switch streaming on.
inline bool streams_buffers(const kep_m2m &m2m)
{
    return m2m.isp_io == KEP_IO_MMAP || m2m.isp_io == KEP_IO_USERPTR;
}
constexpr const char *kReadModeStreamOn = R"(kep_isp_start:\d+: VIDIOC_STREAMON: Invalid argument)";

// For forked children: opens the node, initialises and (if asked) starts the
// stream (in read mode a refused switch is no failure), without gtest
// assertions. A child sets its stream up itself: the
// platform's per-process model must not be shared with the parent's.
// Returns 0, or kSetupFailed.
constexpr int kSetupFailed = 1000;
int child_stream(kep_m2m *m2m, bool start);

class IspTest : public ::testing::Test {
protected:
    // Resets the platform to the given faults before anything is opened,
    // strict: a broken buffer-ownership rule ends the program.
    void configure(const char *options);
    // The same for a test that breaks an ownership rule on purpose.
    void configure_lenient(const char *options);
    // Opens the ISP node into the record.
    void open_node();
    // Closes the node if open; tables are the test's own business.
    void TearDown() override;

    kep_m2m m2m_ = make_record(KEP_IO_MMAP);
};

} // namespace kep_test

#endif
