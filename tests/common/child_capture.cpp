#include "child_capture.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace kep_child {

namespace {

long long now_ms()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

} // namespace

bool drain(const int fds[], std::string *const texts[], int count, int timeout_ms)
{
    long long deadline = timeout_ms < 0 ? -1 : now_ms() + timeout_ms;
    bool finished = true;
    struct pollfd pfd[4];
    if (count > 4)
        count = 4;
    for (int i = 0; i < count; ++i) {
        pfd[i].fd = fds[i];
        pfd[i].events = POLLIN;
        pfd[i].revents = 0;
    }
    int open_count = count;
    while (open_count > 0) {
        int wait = -1;
        if (deadline >= 0) {
            long long left = deadline - now_ms();
            if (left <= 0) {
                finished = false;
                break;
            }
            wait = static_cast<int>(left);
        }
        if (poll(pfd, count, wait) == -1) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < count; ++i) {
            if (pfd[i].fd < 0 || !(pfd[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[4096];
            ssize_t n = read(pfd[i].fd, buf, sizeof buf);
            if (n > 0) {
                texts[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(pfd[i].fd);
                pfd[i].fd = -1;
                --open_count;
            }
        }
    }
    for (int i = 0; i < count; ++i)
        if (pfd[i].fd >= 0)
            close(pfd[i].fd);
    return finished;
}

Captured capture(const std::function<void()> &body, int timeout_ms)
{
    Captured c;
    int out[2], err[2];
    if (pipe(out) != 0)
        return c;
    if (pipe(err) != 0) {
        close(out[0]);
        close(out[1]);
        return c;
    }
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(out[1]);
        close(err[0]);
        close(err[1]);
        body();
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(out[0]);
        close(err[0]);
        return c;
    }
    int fds[2] = {out[0], err[0]};
    std::string *texts[2] = {&c.out, &c.err};
    if (!drain(fds, texts, 2, timeout_ms)) {
        c.timed_out = true;
        kill(pid, SIGKILL);
    }
    while (waitpid(pid, &c.wait_status, 0) == -1 && errno == EINTR) {
    }
    c.ran = true;
    return c;
}

void exec_program(const std::vector<std::string> &argv, const std::vector<std::string> &env)
{
    for (const std::string &e : env)
        putenv(strdup(e.c_str()));
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data()); // a bare name (an emulator) is found on PATH
}

Ran run_program(const std::vector<std::string> &argv)
{
    Captured c = capture([&] {
        exec_program(argv, {});
        _exit(126);
    });
    Ran r;
    r.out = std::move(c.out);
    r.err = std::move(c.err);
    r.status = c.ran && WIFEXITED(c.wait_status) ? WEXITSTATUS(c.wait_status) : -1;
    return r;
}

} // namespace kep_child
