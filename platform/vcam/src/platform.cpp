#include "platform.h"

#include "decoder_device.h"
#include "encoder_device.h"
#include "isp_device.h"
#include "libc.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

extern char **environ;

namespace vcam {

namespace {

std::shared_ptr<Device> make_isp(Ledger &ledger, const Options &options, const std::string &path)
{
    return std::make_shared<IspDevice>(ledger, options, path);
}

std::shared_ptr<Device> make_encoder(Ledger &ledger, const Options &options, const std::string &path)
{
    return std::make_shared<EncoderDevice>(ledger, options, path);
}

std::shared_ptr<Device> make_decoder(Ledger &ledger, const Options &options, const std::string &path)
{
    return std::make_shared<DecoderDevice>(ledger, options, path);
}

} // namespace

Platform &Platform::get()
{
    static Platform *platform = new Platform();
    platform->load_environment();
    return *platform;
}

Platform::Platform()
{
    pid_ = getpid();
    ledger_.set_strict_end(&Platform::end_strict);
    ledger_.reset(options_);
    register_classes_locked();
    atexit(&Platform::at_exit);
    pthread_atfork(&Platform::before_fork, &Platform::after_fork_parent, &Platform::after_fork_child);
}

void Platform::load_environment()
{
    if (environment_loaded_.load(std::memory_order_acquire))
        return;
    // A sanitizer's start-up may reach a wrapper before the C library has
    // set up the environment: read KEP_VCAM on a later call then.
    if (environ == nullptr)
        return;
    std::lock_guard<std::mutex> lock(mu_);
    if (environment_loaded_.load(std::memory_order_relaxed))
        return;
    std::string error;
    std::vector<std::string> words;
    Options parsed;
    if (split_words(getenv("KEP_VCAM"), words, error) && parse_options(words, parsed, error))
        options_ = parsed;
    else
        fprintf(stderr, "vcam: KEP_VCAM: %s; using the defaults\n", error.c_str());
    ledger_.reset(options_);
    register_classes_locked();
    environment_loaded_.store(true, std::memory_order_release);
}

void Platform::register_classes_locked()
{
    nodes_.clear();
    // An ISP given the same path as an encoder wins: ISP set-ups stay as
    // they were before the encoder existed.
    for (const std::string &path : options_.decoder_paths)
        nodes_[path] = &make_decoder;
    for (const std::string &path : options_.encoder_paths)
        nodes_[path] = &make_encoder;
    for (const std::string &path : options_.isp_paths)
        nodes_[path] = &make_isp;
}

bool Platform::configure(const char *text, std::string &error)
{
    std::vector<std::string> words;
    Options parsed;
    if (!split_words(text, words, error) || !parse_options(words, parsed, error))
        return false;
    std::lock_guard<std::mutex> lock(mu_);
    environment_loaded_.store(true, std::memory_order_release); // set options win
    options_ = parsed;
    ledger_.reset(options_);
    register_classes_locked();
    return true;
}

Options Platform::options() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return options_;
}

bool Platform::is_node(const char *path) const
{
    if (path == nullptr || path[0] != '/')
        return false;
    std::lock_guard<std::mutex> lock(mu_);
    return nodes_.count(path) != 0;
}

bool Platform::is_proc_entry(const char *path) const
{
    static constexpr char kProc[] = "/proc/codec/";
    if (path == nullptr || strncmp(path, kProc, sizeof kProc - 1) != 0)
        return false;
    std::lock_guard<std::mutex> lock(mu_);
    if (options_.no_proc_codec)
        return false;
    for (const std::string &node : options_.encoder_paths) {
        if (nodes_.count(node) == 0 || nodes_.at(node) != &make_encoder)
            continue;
        int channel = channel_of_path(node);
        if (channel < 0)
            continue;
        // Unscaled H.264 and MJPEG entries of the channel, as the codec
        // driver lists them.
        for (char letter : {'h', 'j'}) {
            std::string entry = kProc + std::to_string(channel) + "_" + letter + "d";
            if (entry == path)
                return true;
        }
    }
    return false;
}

int Platform::open(const char *path, int flags)
{
    ledger_.count("open");
    std::string kind;
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = nodes_.find(path);
        if (it != nodes_.end())
            kind = it->second == &make_encoder ? "enc" : it->second == &make_decoder ? "dec" : "isp";
    }
    if (int err = ledger_.injected_failure("open", kind)) {
        errno = err;
        return -1;
    }
    DeviceFactory factory = nullptr;
    Options options;
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = nodes_.find(path);
        if (it == nodes_.end()) {
            errno = ENOENT;
            return -1;
        }
        factory = it->second;
        options = options_;
    }
    std::shared_ptr<Device> dev = factory(ledger_, options, path);
    int fd = dev->create_handle(flags);
    if (fd < 0) {
        errno = -fd;
        return -1;
    }
    std::lock_guard<std::mutex> lock(mu_);
    if (fds_.count(fd) == 0)
        fd_count_.fetch_add(1);
    fds_[fd] = dev;
    return fd;
}

std::shared_ptr<Device> Platform::device(int fd) const
{
    if (fd_count_.load(std::memory_order_relaxed) == 0)
        return nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    auto it = fds_.find(fd);
    return it == fds_.end() ? nullptr : it->second;
}

void Platform::release(int fd)
{
    std::shared_ptr<Device> last;
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = fds_.find(fd);
        if (it == fds_.end())
            return;
        std::shared_ptr<Device> dev = it->second;
        fds_.erase(it);
        fd_count_.fetch_sub(1);
        bool shared = false;
        for (const auto &f : fds_)
            shared = shared || f.second == dev;
        if (!shared)
            last = dev;
    }
    if (last)
        last->shutdown();
}

void Platform::duplicated(int fd, int newfd)
{
    std::shared_ptr<Device> dev = device(fd);
    if (!dev || newfd < 0)
        return;
    std::lock_guard<std::mutex> lock(mu_);
    if (fds_.count(newfd) == 0)
        fd_count_.fetch_add(1);
    fds_[newfd] = dev;
}

void Platform::add_mapping(void *addr, size_t len, const std::shared_ptr<Device> &dev, uint64_t offset)
{
    MapInfo info;
    info.len = len;
    info.dev = dev;
    info.offset = offset;
    info.label = dev->buffer_label(offset);
    std::lock_guard<std::mutex> lock(mu_);
    uintptr_t key = reinterpret_cast<uintptr_t>(addr);
    if (maps_.count(key) == 0)
        map_count_.fetch_add(1);
    maps_[key] = info;
    for (size_t i = 0; i < retired_.size(); ++i)
        if (retired_[i].first == key) {
            retired_.erase(retired_.begin() + static_cast<long>(i));
            retired_count_.store(static_cast<int>(retired_.size()));
            break;
        }
}

std::string Platform::mapping_kind(void *addr) const
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = maps_.find(reinterpret_cast<uintptr_t>(addr));
    if (it == maps_.end())
        return std::string();
    std::shared_ptr<Device> dev = it->second.dev.lock();
    return dev ? dev->kind() : std::string();
}

LendResult Platform::borrow(uint64_t addr, uint64_t len, const std::string &borrower, Loan *loan) const
{
    std::shared_ptr<Device> owner;
    uint64_t offset = 0;
    bool mapped = false;
    std::vector<std::shared_ptr<Device>> all;
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = maps_.upper_bound(static_cast<uintptr_t>(addr));
        if (it != maps_.begin()) {
            --it;
            if (addr >= it->first && addr - it->first < it->second.len) {
                // The whole picture must lie inside that one mapping, from
                // its start: a buffer is lent whole.
                if (addr != it->first || len > it->second.len)
                    return LendResult::foreign;
                mapped = true;
                owner = it->second.dev.lock();
                offset = it->second.offset;
            }
        }
        if (!mapped)
            for (const auto &f : fds_)
                all.push_back(f.second);
    }
    if (mapped)
        return owner ? owner->lend(addr, len, true, offset, borrower, loan) : LendResult::foreign;
    for (const auto &d : all) {
        LendResult r = d->lend(addr, len, false, 0, borrower, loan);
        if (r != LendResult::foreign)
            return r;
    }
    return LendResult::foreign;
}

Platform::Unmap Platform::check_unmap(void *addr, size_t len)
{
    if (map_count_.load(std::memory_order_relaxed) == 0 && retired_count_.load(std::memory_order_relaxed) == 0)
        return Unmap::other;
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    auto pages = [page](size_t n) { return (n + page - 1) / page; };
    uintptr_t a = reinterpret_cast<uintptr_t>(addr);
    std::string what;
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = maps_.upper_bound(a + (len == 0 ? 0 : len - 1));
        if (it != maps_.begin()) {
            --it;
            const MapInfo &m = it->second;
            bool overlaps = a < it->first + m.len && it->first < a + (len == 0 ? 1 : len);
            if (it->first == a && pages(len) == pages(m.len))
                return Unmap::exact;
            if (overlaps) {
                char text[200];
                snprintf(text, sizeof text, "(%p, %zu): no mapping has that address and length (mapped at %p, %zu bytes)",
                         addr, len, reinterpret_cast<void *>(it->first), m.len);
                what = m.label + ": munmap" + text;
            }
        }
        if (what.empty()) {
            for (const auto &r : retired_)
                if (r.first == a) {
                    // Unmapped before, and nothing mapped there since.
                    std::vector<unsigned char> v(pages(len == 0 ? 1 : len) + 1);
                    if (mincore(addr, len == 0 ? 1 : len, v.data()) == -1 && errno == ENOMEM) {
                        char text[120];
                        snprintf(text, sizeof text, "(%p, %zu): the mapping is already unmapped", addr, len);
                        what = r.second.label + ": munmap" + text;
                    }
                    break;
                }
        }
    }
    if (what.empty())
        return Unmap::other;
    ledger_.violation("munmap", what + " (owner: the program)");
    return Unmap::mismatch;
}

void Platform::unmap_refused(void *addr)
{
    std::shared_ptr<Device> dev;
    uint64_t offset = 0;
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = maps_.find(reinterpret_cast<uintptr_t>(addr));
        if (it == maps_.end() || it->second.refused)
            return;
        it->second.refused = true;
        dev = it->second.dev.lock();
        offset = it->second.offset;
    }
    if (dev)
        dev->unmap_refused(offset);
}

void Platform::remove_mapping(void *addr)
{
    std::shared_ptr<Device> dev;
    uint64_t offset = 0;
    bool refused = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = maps_.find(reinterpret_cast<uintptr_t>(addr));
        if (it == maps_.end())
            return;
        dev = it->second.dev.lock();
        offset = it->second.offset;
        refused = it->second.refused;
        if (retired_.size() >= 64)
            retired_.erase(retired_.begin());
        retired_.emplace_back(it->first, it->second);
        retired_count_.store(static_cast<int>(retired_.size()));
        maps_.erase(it);
        map_count_.fetch_sub(1);
    }
    if (dev)
        dev->unmapped(offset, refused);
}

std::vector<std::shared_ptr<Device>> Platform::devices() const
{
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::shared_ptr<Device>> out;
    for (const auto &f : fds_) {
        bool seen = false;
        for (const auto &d : out)
            seen = seen || d == f.second;
        if (!seen)
            out.push_back(f.second);
    }
    return out;
}

void Platform::at_exit()
{
    Platform &p = get();
    if (getpid() != p.pid_)
        return; // a forked child: the parent reports
    // Only a process that came near a node reports, so that shells and other
    // helpers started under the launcher stay quiet.
    if (p.ledger_.get("open") <= 0 && p.ledger_.get("stat") <= 0)
        return;
    p.write_stats();
}

void Platform::end_strict(const std::string &message)
{
    Platform &p = get();
    std::string line = "vcam: strict: " + message + "\n";
    (void)!write(2, line.data(), line.size());
    if (getpid() == p.pid_)
        p.write_stats();
    _exit(kStrictExitStatus);
}

void Platform::write_stats()
{
    // A signal handler may end the process while another thread holds the
    // lock; the options do not change at this point, so read them anyway.
    bool locked = mu_.try_lock();
    bool stats = options_.stats;
    std::string file = options_.stats_file;
    if (locked)
        mu_.unlock();
    if (!stats && file.empty())
        return;
    std::string text = ledger_.format_at_exit();
    if (!file.empty()) {
        FILE *f = fopen(file.c_str(), "w");
        if (f == nullptr) {
            fprintf(stderr, "vcam: cannot write %s\n", file.c_str());
            return;
        }
        fputs(text.c_str(), f);
        fclose(f);
    } else {
        fputs(text.c_str(), stderr);
        fflush(stderr);
    }
}

void Platform::before_fork()
{
    Platform &p = get();
    p.mu_.lock();
    p.forking_.clear();
    for (const auto &f : p.fds_) {
        bool seen = false;
        for (const auto &d : p.forking_)
            seen = seen || d == f.second;
        if (!seen)
            p.forking_.push_back(f.second);
    }
    for (const auto &d : p.forking_)
        d->before_fork();
    p.ledger_.lock();
}

void Platform::after_fork_parent()
{
    Platform &p = get();
    p.ledger_.unlock();
    for (const auto &d : p.forking_)
        d->after_fork(false);
    p.forking_.clear();
    p.mu_.unlock();
}

void Platform::after_fork_child()
{
    Platform &p = get();
    p.ledger_.unlock();
    for (const auto &d : p.forking_)
        d->after_fork(true);
    p.forking_.clear();
    p.mu_.unlock();
}

} // namespace vcam
