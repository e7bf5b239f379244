// What runs, how each run ends up classified, and the table of it all.
#include "child_capture.h"
#include "sweep.h"

#include "kep_vc.h"
#include "vcam.h"

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>

namespace sweep {

namespace {

// A line of text matches a pattern: '#' stands for one or more digits, '*'
// for any characters, everything else for itself. (std::regex trips the
// sanitizer build's warnings.)
bool glob(const char *p, const char *s, const char *end)
{
    for (; *p; ++p) {
        if (*p == '*') {
            for (const char *t = end; t >= s; --t)
                if (glob(p + 1, t, end))
                    return true;
            return false;
        }
        if (*p == '#') {
            if (s == end || *s < '0' || *s > '9')
                return false;
            while (s != end && *s >= '0' && *s <= '9')
                ++s;
            continue;
        }
        if (s == end || *s != *p)
            return false;
        ++s;
    }
    return s == end;
}

bool has_line(const std::string &text, const char *pattern)
{
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        size_t end = nl == std::string::npos ? text.size() : nl;
        if (glob(pattern, text.data() + at, text.data() + end))
            return true;
        at = end + 1;
    }
    return false;
}

bool starts(const std::string &s, const char *prefix)
{
    return s.compare(0, strlen(prefix), prefix) == 0;
}

// The process-ending failures the library specifies: for a fault, the line
// it ends with and whether it aborts (an assertion) or exits with status 1.
struct End {
    const char *line = nullptr;
    bool abort = false;
};

End expected_end(const Pipeline &p, const Fault &f)
{
    const char *assertion = "*: kep_vc_lib:#: *: Assertion `buf.index < m2m->m2m_buffers' failed.";
    if (!f.transient()) {
        if (f.options == "--grant 1" && p.isp_io == KEP_IO_MMAP && (p.shape == Shape::isp || p.shape == Shape::encoder))
            return {"Insufficient buffer memory", false};
        if (f.options == "--bad-index" && p.isp_io != 0 && (p.shape == Shape::isp || p.shape == Shape::encoder))
            return {assertion, true};
        if (f.options == "--enc-bad-index" || f.options == "--dec-bad-index")
            return {assertion, true};
        if (f.options == "--bad-userptr" && p.isp_io == KEP_IO_USERPTR)
            return {"*: kep_vc_lib:#: kep_isp_dq: Assertion `i < m2m->m2m_buffers' failed.", true};
        return {};
    }
    const std::string &s = f.site, &k = f.kind;
    bool isp_node = starts(s, "isp:");
    std::string req = s.substr(s.find(':') + 1);
    if (req == "open")
        return {"Cannot open '*': #, *", false};
    if (k == "badindex")
        return {assertion, true};
    if (isp_node && req == "mmap")
        return {"mmap:#: failed", false};
    if (k == "EINTR" || k == "errorflag")
        return {};
    if (isp_node) {
        if (req == "REQBUFS" && k == "EINVAL")
            return {p.isp_io == KEP_IO_MMAP ? "Does not support memory mapping" : "Does not support user pointer i/o",
                    false};
        if (req == "REQBUFS")
            return {"VIDIOC_REQBUFS:#: failed", false};
        if (req == "QUERYBUF")
            return {"VIDIOC_QUERYBUF:#: failed", false};
        if (req == "QBUF" && p.isp_io == KEP_IO_USERPTR)
            return {"ISP VIDIOC_QBUF ERR:#: failed", false};
        if (req == "DQBUF" && p.isp_io == KEP_IO_USERPTR && k != "EAGAIN")
            return {"VIDIOC_DQBUF:#: failed", false};
        if (req == "read" && k != "EAGAIN")
            return {"read:#: failed", false};
        if (req == "select")
            return {"kep_isp_next_frame:#: select: *", false};
    }
    if (req == "QUERYBUF" && starts(s, "enc"))
        return {"kep_codec_init:#: ioctl: *", false};
    if (s == "dec:select")
        return {"select: *", false};
    return {};
}

// A loss the fault itself may cost: the one picture the encoder refused, or
// in transcoding the frame of the call whose encoder wait failed (the caller
// is told; the frame comes with the next call, and so on, the last one never).
int allowed_loss(const Pipeline &p, const Fault &f)
{
    if (!f.transient() || f.kind == "EINTR")
        return 0;
    return f.site == "enc.out:QBUF" || (p.shape == Shape::transcode && f.site == "enc:select") ? 1 : 0;
}

bool sanitizer_report(const std::string &err)
{
    return err.find("AddressSanitizer") != std::string::npos || err.find("LeakSanitizer") != std::string::npos ||
           err.find("runtime error:") != std::string::npos ||
           err.find("UndefinedBehaviorSanitizer") != std::string::npos;
}

// The child ends with _exit (nothing of the parent's at-exit work runs
// twice); under the sanitizer it first looks for leaks, which then show as a
// report like any other.
#if defined(__SANITIZE_ADDRESS__)
extern "C" int __lsan_do_recoverable_leak_check();
void end_child()
{
    fflush(nullptr);
    _exit(__lsan_do_recoverable_leak_check() ? 1 : 0);
}
#else
void end_child()
{
    fflush(nullptr);
    _exit(0);
}
#endif

// Shared with the child: the record, then room for the statistics text.
constexpr size_t kStatsRoom = 32768;
struct SharedBlock {
    Record rec;
    char stats[kStatsRoom];
};

SharedBlock *shared_block()
{
    void *p = mmap(nullptr, sizeof(SharedBlock), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<SharedBlock *>(p);
}

const char *const kErrnos[] = {"EINTR", "EAGAIN", "EIO", "EINVAL", "EBUSY", "ENOMEM"};

std::vector<std::string> whole_run_faults(const Pipeline &p)
{
    std::vector<std::string> out;
    bool isp = p.shape == Shape::isp || p.shape == Shape::encoder;
    bool enc = p.shape == Shape::encoder || p.shape == Shape::transcode;
    bool dec = p.shape == Shape::decoder || p.shape == Shape::transcode;
    if (isp) {
        for (const char *o : {"--grant 1", "--grant 2", "--grant 6", "--no-crop", "--zero-sizes", "--bad-index"})
            out.push_back(o);
        if (p.isp_io == KEP_IO_USERPTR)
            out.push_back("--bad-userptr");
    }
    if (enc)
        for (const char *o : {"--enc-grant 1", "--enc-grant 2", "--enc-grant 6", "--enc-error 2", "--enc-bad-index"})
            out.push_back(o);
    if (dec)
        for (const char *o : {"--dec-grant 1", "--dec-grant 2", "--dec-grant 6", "--dec-cap-grant 2", "--dec-refuse 3",
                              "--dec-refuse always", "--dec-bad-index"})
            out.push_back(o);
    out.push_back("--eagain 2");
    out.push_back("--eintr 2");
    return out;
}

} // namespace

const char *class_name(Class c)
{
    switch (c) {
    case Class::a: return "a";
    case Class::b: return "b";
    case Class::c: return "c";
    case Class::not_reached: return "not reached";
    case Class::crash: return "crash";
    case Class::sanitizer: return "sanitizer";
    case Class::hang: return "hang";
    case Class::violation: return "violation";
    case Class::leak: return "mapping left";
    case Class::unexpected_end: return "unexpected end";
    case Class::not_recovered: return "not recovered";
    }
    return "?";
}

bool is_failure(Class c)
{
    return c != Class::a && c != Class::b && c != Class::c && c != Class::not_reached;
}

Outcome classify(const Pipeline &p, const Fault &f, const Record &rec, bool timed_out, int wait_status,
                 const std::string &err)
{
    if (timed_out)
        return {Class::hang, "still running at the time limit; " + std::string(rec.note)};
    if (sanitizer_report(err))
        return {Class::sanitizer, err.substr(0, 600)};
    size_t strict = err.find("vcam: strict: ");
    if (strict != std::string::npos)
        return {Class::violation, err.substr(strict, err.find('\n', strict) - strict)};
    End end = expected_end(p, f);
    bool exited = WIFEXITED(wait_status);
    bool aborted = WIFSIGNALED(wait_status) && WTERMSIG(wait_status) == SIGABRT;
    if (WIFSIGNALED(wait_status) && !(aborted && end.line && end.abort))
        return {Class::crash, "signal " + std::to_string(WTERMSIG(wait_status)) + ": " + err.substr(0, 400)};
    if (end.line && (aborted || (exited && WEXITSTATUS(wait_status) != 0) || rec.stage != DONE)) {
        bool right_status = end.abort ? aborted : exited && WEXITSTATUS(wait_status) == 1;
        if (right_status && has_line(err, end.line))
            return {Class::a, ""};
        return {Class::unexpected_end, std::string("expected \"") + end.line + "\"" + (end.abort ? " (abort)" : "") +
                                           ", got status " + std::to_string(wait_status) + ": " + err.substr(0, 400)};
    }
    if (!exited || WEXITSTATUS(wait_status) != 0 || rec.stage != DONE)
        return {Class::unexpected_end, "status " + std::to_string(wait_status) + " at stage " +
                                           std::to_string(rec.stage) + ": " + err.substr(0, 400)};
    if (rec.violations)
        return {Class::violation, rec.note};
    if (rec.maps_left)
        return {Class::leak, std::to_string(rec.maps_left) + " mappings left; " + rec.note};
    if (rec.teardown_failures)
        return {Class::not_recovered, std::string("teardown: ") + rec.note};
    // A whole-run fault (a grant, a refusal) holds from the start.
    if (rec.fault_stage == 0 && f.transient())
        return {Class::not_reached, ""};
    bool frames_ok = rec.order_errors == 0 && rec.lost_buffers == 0 && rec.lost <= allowed_loss(p, f) && rec.lost >= 0;
    if (rec.failed_call)
        return frames_ok ? Outcome{Class::b, ""} : Outcome{Class::not_recovered, rec.note};
    bool flowing = rec.frames >= rec.wanted && (rec.fault_read < 0 || (rec.recovery_reads >= 0 && rec.recovery_reads <= 2));
    if (flowing && frames_ok)
        return {Class::c, ""};
    // A fault that holds for the whole run may stop the stream, as long as
    // the library says so and the teardown works.
    if (!f.transient() && frames_ok && rec.stream_failures > 0 && !err.empty())
        return {Class::b, ""};
    std::string why = std::to_string(rec.frames) + " frames in " + std::to_string(rec.reads) +
                      " reads, fault in read " + std::to_string(rec.fault_read) + ", next frame after " +
                      std::to_string(rec.recovery_reads) + " reads";
    if (rec.note[0])
        why += std::string("; ") + rec.note;
    return {Class::not_recovered, why};
}

std::vector<Fault> plan(const Pipeline &p, const std::vector<Site> &sites, unsigned every)
{
    std::vector<Fault> all;
    for (const Site &s : sites) {
        std::set<long> ks;
        for (long k = 1; k <= 3; ++k)
            ks.insert(k);
        if (p.restart)
            for (long k = s.count / 2; k <= s.count / 2 + 1; ++k)
                ks.insert(k);
        ks.insert(s.count - 1);
        ks.insert(s.count);
        bool dequeue = s.name.size() > 6 && s.name.compare(s.name.size() - 6, 6, ":DQBUF") == 0;
        for (long k : ks) {
            if (k < 1 || k > s.count)
                continue;
            for (const char *e : kErrnos)
                all.push_back({s.name, unsigned(k), e, ""});
            if (dequeue)
                for (const char *e : {"badindex", "errorflag"})
                    all.push_back({s.name, unsigned(k), e, ""});
        }
    }
    for (const std::string &o : whole_run_faults(p))
        all.push_back({"", 0, "", o});
    if (every <= 1)
        return all;
    // One run in `every`, starting at a different place for each pipeline so
    // that a sample of all pipelines reaches every kind of fault.
    std::vector<Fault> some;
    size_t offset = std::hash<std::string>()(p.name) % every;
    for (size_t i = offset; i < all.size(); i += every)
        some.push_back(all[i]);
    return some;
}

Run run_one(const Pipeline &p, const Fault &f, unsigned frames, int timeout_ms)
{
    Run run{p, f, {Class::crash, "no shared memory"}, {}};
    SharedBlock *block = shared_block();
    if (!block)
        return run;
    memset(block, 0, sizeof *block);
    kep_child::Captured c = kep_child::capture(
        [&] {
            run_pipeline(p, f, frames, &block->rec);
            end_child();
        },
        timeout_ms);
    run.rec = block->rec;
    munmap(block, sizeof *block);
    if (!c.ran)
        run.outcome = {Class::crash, "no child"};
    else
        run.outcome = classify(p, f, run.rec, c.timed_out, c.wait_status, c.err);
    return run;
}

std::vector<Site> sites_of(const Pipeline &p, unsigned frames, std::string *error)
{
    std::vector<Site> sites;
    SharedBlock *block = shared_block();
    if (!block) {
        *error = "no shared memory";
        return sites;
    }
    memset(block, 0, sizeof *block);
    kep_child::Captured c = kep_child::capture(
        [&] {
            run_pipeline(p, Fault{}, frames, &block->rec);
            vcam_stats_format(block->stats, sizeof block->stats);
            end_child();
        },
        60000);
    Record rec = block->rec;
    std::string stats = block->stats;
    munmap(block, sizeof *block);
    if (!c.ran || c.timed_out || !WIFEXITED(c.wait_status) || WEXITSTATUS(c.wait_status) != 0 || rec.stage != DONE ||
        unsigned(rec.frames) < frames || rec.lost || rec.order_errors || rec.violations || rec.maps_left ||
        rec.failed_call) {
        *error = p.name + ": the run without a fault failed: " + std::to_string(rec.frames) + " frames; " + rec.note +
                 "; " + c.err.substr(0, 400);
        return sites;
    }
    size_t at = 0;
    while (at < stats.size()) {
        size_t nl = stats.find('\n', at);
        std::string line = stats.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
        at = nl == std::string::npos ? stats.size() : nl + 1;
        size_t colon = line.find(':'), blank = line.find(' ');
        if (colon == std::string::npos || blank == std::string::npos || colon > blank ||
            line.find(".done") != std::string::npos)
            continue;
        long count = atol(line.c_str() + blank + 1);
        if (count > 0)
            sites.push_back({line.substr(0, blank), count});
    }
    return sites;
}

std::string table(const std::vector<Run> &runs)
{
    struct Counts {
        long runs = 0, a = 0, b = 0, c = 0, fail = 0, unreached = 0;
    };
    std::map<std::string, Counts> by_pipeline, by_request, by_kind;
    std::map<std::string, long> failures;
    Counts total;
    auto add = [](Counts &n, Class cls) {
        ++n.runs;
        if (cls == Class::a)
            ++n.a;
        else if (cls == Class::b)
            ++n.b;
        else if (cls == Class::c)
            ++n.c;
        else if (cls == Class::not_reached)
            ++n.unreached;
        else
            ++n.fail;
    };
    for (const Run &r : runs) {
        Class cls = r.outcome.cls;
        add(total, cls);
        add(by_pipeline[r.pipeline.name], cls);
        std::string request = r.fault.transient() ? r.fault.site.substr(r.fault.site.find(':') + 1) : "(whole run)";
        add(by_request[request], cls);
        add(by_kind[r.fault.transient() ? r.fault.kind : r.fault.options], cls);
        if (is_failure(cls))
            ++failures[class_name(cls)];
    }
    std::string out;
    char line[256];
    auto section = [&](const char *title, const std::map<std::string, Counts> &rows) {
        snprintf(line, sizeof line, "\n%-26s %6s %6s %6s %6s %8s %6s\n", title, "runs", "a", "b", "c", "unreach", "fail");
        out += line;
        for (const auto &row : rows) {
            const Counts &n = row.second;
            snprintf(line, sizeof line, "%-26s %6ld %6ld %6ld %6ld %8ld %6ld\n", row.first.c_str(), n.runs, n.a, n.b,
                     n.c, n.unreached, n.fail);
            out += line;
        }
    };
    section("pipeline", by_pipeline);
    section("request", by_request);
    section("fault kind", by_kind);
    snprintf(line, sizeof line, "\n%-26s %6ld %6ld %6ld %6ld %8ld %6ld\n", "all", total.runs, total.a, total.b, total.c,
             total.unreached, total.fail);
    out += line;
    for (const char *kind : {"crash", "sanitizer", "hang", "violation", "mapping left", "unexpected end", "not recovered"}) {
        snprintf(line, sizeof line, "%s: %ld\n", kind, failures.count(kind) ? failures[kind] : 0L);
        out += line;
    }
    for (const Run &r : runs)
        if (is_failure(r.outcome.cls))
            out += r.pipeline.name + " " + r.fault.label() + ": " + class_name(r.outcome.cls) + ": " + r.outcome.why + "\n";
    return out;
}

} // namespace sweep
