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
    std::string out, err;
};

// The child runs `body`; if it returns, the child ends with status 127.
Captured capture(const std::function<void()> &body);

// Reads the descriptors together until each reaches its end, then closes
// them.
void drain(const int fds[], std::string *const texts[], int count);

// For the child: argv[0] with the rest of argv, after putting each
// NAME=VALUE of env into the environment. Returns only if exec failed.
void exec_program(const std::vector<std::string> &argv, const std::vector<std::string> &env);

} // namespace kep_child

#endif
