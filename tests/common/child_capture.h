// Runs a body in a child process with its standard output and error on
// pipes, reads both together to their ends (so that neither pipe can fill
// and stall the child) and waits for it.
#ifndef KEP_CHILD_CAPTURE_H
#define KEP_CHILD_CAPTURE_H

#include <functional>
#include <string>
#include <vector>

namespace kep_child {

struct Captured {
    bool ran = false;     // false when no pipe or no child could be made
    int wait_status = 0;  // as waitpid() gives it
    bool timed_out = false; // the child was still running at the time limit and was killed
    std::string out, err;
};

// The child runs `body`; if it returns, the child ends with status 127. With
// a time limit (milliseconds) a child still running then is killed.
Captured capture(const std::function<void()> &body, int timeout_ms = -1);

// Reads the descriptors together until each reaches its end, then closes
// them. False when the time limit (milliseconds, -1 none) came first.
bool drain(const int fds[], std::string *const texts[], int count, int timeout_ms = -1);

// For the child: argv[0] with the rest of argv, after putting each
// NAME=VALUE of env into the environment. Returns only if exec failed.
void exec_program(const std::vector<std::string> &argv, const std::vector<std::string> &env);

// A program run to its end in a child: its exit status (-1 when it did not
// exit normally or could not be started) and what it wrote.
struct Ran {
    int status = -1;
    std::string out, err;
};
Ran run_program(const std::vector<std::string> &argv);

} // namespace kep_child

#endif
