// The platform's books: statistics counters and the state of the injected
// faults (which once-only faults have fired, how many EAGAINs are left).
// Every operation takes the ledger's own lock and nothing else, so devices
// may call it while they hold their own.
#ifndef VCAM_LEDGER_H
#define VCAM_LEDGER_H

#include "options.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vcam {

class Ledger {
public:
    void reset(const Options &options);

    void count(const std::string &name, long n = 1);
    void set(const std::string &name, long value);
    // -1 for a name never counted.
    long get(const std::string &name) const;

    // errno to fail the named request with ("QBUF", "open", ...) on a node
    // of the given scope ("isp", "enc.cap", ...), or 0. Counts the request as
    // "<scope>:<request>", the occurrences --fail ...:@K numbers. A rule
    // whose effect is not an errno leaves it in *effect (when given) and
    // returns 0: the request goes on and its result is changed.
    int injected_failure(const std::string &request, const std::string &scope = std::string(),
                         FailEffect *effect = nullptr);
    // True while --eagain dequeues remain (and uses one up).
    bool take_eagain();
    bool take_bad_index();
    bool take_bad_userptr();
    bool take_enc_error();
    bool take_enc_bad_index();
    bool take_dec_refuse();
    bool take_dec_bad_index();

    // A broken buffer-ownership rule: counted as "violations" and
    // "violation.<kind>"; under --strict the program ends here, through the
    // handler the platform installs (message, statistics, exit status 70).
    void violation(const char *kind, const std::string &message);
    using StrictEnd = void (*)(const std::string &message);
    void set_strict_end(StrictEnd end) { strict_end_ = end; }

    // "name value" lines in name order.
    std::string format() const;
    // Like format(), but gives up on the lock after a while: used at exit,
    // where the lock may belong to a thread a signal handler interrupted.
    std::string format_at_exit() const;

    // Held across fork() so that the child finds the books consistent.
    void lock() { mu_.lock(); }
    void unlock() { mu_.unlock(); }

private:
    std::string format_locked() const;

    mutable std::timed_mutex mu_;
    std::map<std::string, long> counters_;
    std::vector<FailRule> fails_;
    std::vector<bool> fired_;
    std::vector<unsigned> seen_; // occurrences per rule, for @K
    int eagain_left_ = 0;
    bool bad_index_ = false, bad_userptr_ = false;
    int enc_error_left_ = 0;
    bool enc_bad_index_ = false;
    int dec_refuse_left_ = 0; // -1: for ever
    bool dec_bad_index_ = false;
    bool strict_ = false;
    StrictEnd strict_end_ = nullptr;
};

// The exit status of a program ended by a violation under --strict.
constexpr int kStrictExitStatus = 70;

} // namespace vcam

#endif
