#include "ledger.h"

#include <chrono>
#include <thread>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace vcam {

namespace {
// Counters that always appear, so that a test can tell "not asked" (0) from
// "no such counter" (-1).
constexpr const char *kStandardCounters[] = {
    "VIDIOC_QUERYCAP", "VIDIOC_CROPCAP", "VIDIOC_G_CROP", "VIDIOC_S_CROP", "VIDIOC_G_PARM", "VIDIOC_S_PARM",
    "VIDIOC_ENUM_FMT", "VIDIOC_G_FMT", "VIDIOC_S_FMT", "VIDIOC_TRY_FMT", "VIDIOC_REQBUFS", "VIDIOC_QUERYBUF",
    "VIDIOC_QBUF", "VIDIOC_DQBUF", "VIDIOC_STREAMON", "VIDIOC_STREAMOFF", "VIDIOC_G_CTRL", "VIDIOC_S_CTRL",
    "VIDIOC_unknown", "open", "close", "dup", "stat", "mmap", "munmap", "read", "fcntl", "frames", "copies",
    "dropped", "produced", "faults", "eintr", "eagain", "abi.camera", "abi.host", "violations",
};
} // namespace

void Ledger::reset(const Options &options)
{
    std::lock_guard<std::timed_mutex> lock(mu_);
    counters_.clear();
    for (const char *name : kStandardCounters)
        counters_[name] = 0;
    fails_ = options.fails;
    fired_.assign(fails_.size(), false);
    seen_.assign(fails_.size(), 0);
    eagain_left_ = options.eagain;
    bad_index_ = options.bad_index;
    bad_userptr_ = options.bad_userptr;
    enc_error_left_ = options.enc_error;
    enc_bad_index_ = options.enc_bad_index;
    dec_refuse_left_ = options.dec_refuse;
    dec_bad_index_ = options.dec_bad_index;
    strict_ = options.strict;
}

void Ledger::violation(const char *kind, const std::string &message)
{
    bool strict;
    {
        std::lock_guard<std::timed_mutex> lock(mu_);
        counters_["violations"] += 1;
        counters_[std::string("violation.") + kind] += 1;
        strict = strict_;
    }
    if (!strict)
        return;
    if (strict_end_ != nullptr)
        strict_end_(message);
    std::string line = "vcam: strict: " + message + "\n";
    (void)!write(2, line.data(), line.size());
    _exit(kStrictExitStatus);
}

void Ledger::count(const std::string &name, long n)
{
    std::lock_guard<std::timed_mutex> lock(mu_);
    counters_[name] += n;
}

void Ledger::set(const std::string &name, long value)
{
    std::lock_guard<std::timed_mutex> lock(mu_);
    counters_[name] = value;
}

long Ledger::get(const std::string &name) const
{
    std::lock_guard<std::timed_mutex> lock(mu_);
    auto it = counters_.find(name);
    return it == counters_.end() ? -1 : it->second;
}

int Ledger::injected_failure(const std::string &request, const std::string &scope, FailEffect *effect)
{
    std::lock_guard<std::timed_mutex> lock(mu_);
    if (!scope.empty())
        counters_[scope + ":" + request] += 1;
    int err = 0;
    bool hit = false;
    for (size_t i = 0; i < fails_.size(); ++i) {
        const FailRule &rule = fails_[i];
        if (rule.request != request || !scope_matches(rule.node, scope))
            continue;
        // Every rule counts its occurrences, whether or not another hits.
        if (rule.at > 0 && ++seen_[i] != rule.at)
            continue;
        if (hit || (fired_[i] && !rule.always))
            continue;
        if (rule.effect != FailEffect::error && effect == nullptr)
            continue;
        fired_[i] = true;
        hit = true;
        counters_["faults"] += 1;
        if (rule.effect == FailEffect::error)
            err = rule.err;
        else
            *effect = rule.effect;
    }
    return err;
}

bool Ledger::take_eagain()
{
    std::lock_guard<std::timed_mutex> lock(mu_);
    if (eagain_left_ <= 0)
        return false;
    --eagain_left_;
    counters_["eagain"] += 1;
    counters_["faults"] += 1;
    return true;
}

bool Ledger::take_bad_index()
{
    std::lock_guard<std::timed_mutex> lock(mu_);
    bool fire = bad_index_;
    bad_index_ = false;
    if (fire)
        counters_["faults"] += 1;
    return fire;
}

bool Ledger::take_bad_userptr()
{
    std::lock_guard<std::timed_mutex> lock(mu_);
    bool fire = bad_userptr_;
    bad_userptr_ = false;
    if (fire)
        counters_["faults"] += 1;
    return fire;
}

bool Ledger::take_enc_error()
{
    std::lock_guard<std::timed_mutex> lock(mu_);
    if (enc_error_left_ <= 0)
        return false;
    --enc_error_left_;
    counters_["faults"] += 1;
    return true;
}

bool Ledger::take_enc_bad_index()
{
    std::lock_guard<std::timed_mutex> lock(mu_);
    bool fire = enc_bad_index_;
    enc_bad_index_ = false;
    if (fire)
        counters_["faults"] += 1;
    return fire;
}

bool Ledger::take_dec_refuse()
{
    std::lock_guard<std::timed_mutex> lock(mu_);
    if (dec_refuse_left_ == 0)
        return false;
    if (dec_refuse_left_ > 0)
        --dec_refuse_left_;
    counters_["faults"] += 1;
    return true;
}

bool Ledger::take_dec_bad_index()
{
    std::lock_guard<std::timed_mutex> lock(mu_);
    bool fire = dec_bad_index_;
    dec_bad_index_ = false;
    if (fire)
        counters_["faults"] += 1;
    return fire;
}

std::string Ledger::format_locked() const
{
    std::string text;
    char line[160];
    for (const auto &c : counters_) {
        snprintf(line, sizeof line, "%s %ld\n", c.first.c_str(), c.second);
        text += line;
    }
    return text;
}

std::string Ledger::format() const
{
    std::lock_guard<std::timed_mutex> lock(mu_);
    return format_locked();
}

std::string Ledger::format_at_exit() const
{
    // Up to half a second for a thread that holds the lock, polled with
    // try_lock: the timed lock (pthread_mutex_clocklock) is one that
    // ThreadSanitizer does not see taken, so it took the unlock for a fault.
    for (int waited_ms = 0; waited_ms < 500; ++waited_ms) {
        if (mu_.try_lock()) {
            std::string text = format_locked();
            mu_.unlock();
            return text;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return format_locked();
}

} // namespace vcam
