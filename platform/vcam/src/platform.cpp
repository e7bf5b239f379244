#include "platform.h"

#include "decoder_device.h"
#include "encoder_device.h"
#include "isp_device.h"
#include "media_device.h"
#include "libc.h"

#include <algorithm>
#include <dirent.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/sysmacros.h>
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

std::shared_ptr<Device> make_media(Ledger &ledger, const Options &options, const std::string &path)
{
    return std::make_shared<MediaDevice>(ledger, options, path);
}

// The codec driver's media controller.
constexpr const char *kMediaPath = "/dev/media0";

// The device class a factory makes, as Device::kind() names it.
const char *kind_of(DeviceFactory f)
{
    return f == &make_encoder ? "enc" : f == &make_decoder ? "dec" : f == &make_media ? "media" : "isp";
}

} // namespace

// Not instrumented by a sanitizer (and calling nothing that is before the
// platform exists): it runs before the sanitizer's runtime is ready, and
// starts it by the first allocation.
__attribute__((no_sanitize("address", "undefined"))) Platform *Platform::try_get()
{
    static Platform *made = nullptr;
    static thread_local bool making = false;
    Platform *p = __atomic_load_n(&made, __ATOMIC_ACQUIRE);
    if (p == nullptr) {
        // Making it may call back into the wrappers (a sanitizer's runtime
        // starts up on the first allocation and maps memory, reads files);
        // those calls are none of the platform's.
        if (making)
            return nullptr;
        making = true;
        static Platform *platform = new Platform();
        making = false;
        __atomic_store_n(&made, platform, __ATOMIC_RELEASE);
        p = platform;
    }
    p->load_environment();
    return p;
}

Platform &Platform::get()
{
    Platform *p = try_get();
    if (p == nullptr)
        abort(); // only the wrappers run while the platform is being made
    return *p;
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
    if ((!options_.encoder_paths.empty() || !options_.decoder_paths.empty()) && nodes_.count(kMediaPath) == 0)
        nodes_[kMediaPath] = &make_media;
    identify_nodes_locked();
}

void Platform::identify_nodes_locked()
{
    identities_.clear();
    // In the order of the options, so that numbers stay put across runs.
    std::vector<std::string> order;
    for (const auto *paths : {&options_.isp_paths, &options_.encoder_paths, &options_.decoder_paths})
        for (const std::string &path : *paths)
            if (nodes_.count(path) != 0 && std::find(order.begin(), order.end(), path) == order.end())
                order.push_back(path);
    // A video node gets its own number where the kernel would give it
    // (/dev/video2: minor 2), the first free one otherwise; never one a real
    // device of this machine has, so that its sysfs entries stay the real ones.
    auto real = [](unsigned major, int minor) {
        std::string path = "/sys/dev/char/" + std::to_string(major) + ":" + std::to_string(minor);
        return libc::exists(path.c_str());
    };
    std::vector<bool> taken(256, false);
    auto free_minor = [&](int m) { return m >= 0 && m < 256 && !taken[static_cast<unsigned>(m)] && !real(kVideoMajor, m); };
    std::vector<int> minors(order.size(), -1);
    for (size_t i = 0; i < order.size(); ++i)
        if (free_minor(channel_of_path(order[i])))
            taken[static_cast<unsigned>(minors[i] = channel_of_path(order[i]))] = true;
    for (size_t i = 0; i < order.size(); ++i)
        for (int m = 0; minors[i] < 0 && m < 256; ++m)
            if (free_minor(m))
                taken[static_cast<unsigned>(minors[i] = m)] = true;

    std::map<std::string, unsigned> per_parent;
    auto identify = [&](const std::string &path, unsigned major, unsigned minor) {
        const char *kind = kind_of(nodes_[path]);
        NodeIdentity id;
        id.path = path;
        id.name = path.substr(path.rfind('/') + 1);
        id.kind = kind;
        id.parent = driver_of(kind);
        id.card = card_of(kind);
        id.major = major;
        id.minor = minor;
        if (id.kind != "media")
            id.index = per_parent[id.parent]++;
        identities_.push_back(id);
    };
    for (size_t i = 0; i < order.size(); ++i)
        if (minors[i] >= 0) // otherwise no number is left: opened by path only
            identify(order[i], kVideoMajor, static_cast<unsigned>(minors[i]));
    // Media controllers have a major number the kernel picks; this one is
    // among those kept for local use, and again none a real device has.
    if (nodes_.count(kMediaPath) != 0)
        for (unsigned major : {60u, 61u, 62u, 63u, 120u, 121u, 122u, 123u, 124u, 125u, 126u, 127u})
            if (!real(major, 0)) {
                identify(kMediaPath, major, 0);
                break;
            }
    sys_.build(identities_);
}

std::vector<NodeIdentity> Platform::identities() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return identities_;
}

unsigned long long Platform::node_rdev(const char *path) const
{
    if (path == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(mu_);
    for (const NodeIdentity &id : identities_)
        if (id.path == path)
            return makedev(id.major, id.minor);
    return 0;
}

unsigned long long Platform::node_rdev(int fd) const
{
    std::shared_ptr<Device> dev = device(fd);
    return dev ? node_rdev(dev->path().c_str()) : 0;
}

void Platform::change_priority(const std::string &path, uint32_t from, uint32_t to)
{
    std::lock_guard<std::mutex> lock(prio_mu_);
    std::vector<unsigned> &count = priorities_[path];
    count.resize(V4L2_PRIORITY_RECORD + 1);
    if (from != 0 && from < count.size() && count[from] > 0)
        --count[from];
    if (to != 0 && to < count.size())
        ++count[to];
}

uint32_t Platform::max_priority(const std::string &path) const
{
    std::lock_guard<std::mutex> lock(prio_mu_);
    auto it = priorities_.find(path);
    if (it == priorities_.end())
        return 0;
    for (uint32_t p = static_cast<uint32_t>(it->second.size()); p-- > 1;)
        if (it->second[p] > 0)
            return p;
    return 0;
}

bool Platform::list_dir(const char *path, std::vector<DirItem> *items, bool *overlay, std::string *real) const
{
    items->clear();
    *overlay = true;
    std::string dir = path;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    *real = dir;
    std::lock_guard<std::mutex> lock(mu_);
    if (SysTree::may_hold(dir.c_str())) {
        SysTree::Entry e = sys_.lookup(dir.c_str(), true, real);
        if (e.kind != SysTree::Kind::dir)
            return false;
        *overlay = e.overlay;
        for (const std::string &name : e.children) {
            SysTree::Kind k = sys_.kind_at(*real + "/" + name);
            items->push_back({name, static_cast<unsigned char>(k == SysTree::Kind::dir    ? DT_DIR
                                                              : k == SysTree::Kind::link ? DT_LNK
                                                                                         : DT_REG)});
        }
        return true;
    }
    for (const auto &n : nodes_) {
        size_t slash = n.first.rfind('/');
        if (n.first.substr(0, slash == 0 ? 1 : slash) == dir)
            items->push_back({n.first.substr(slash + 1), DT_CHR});
    }
    return !items->empty();
}

SysTree::Entry Platform::sys_lookup(const char *path, bool follow, std::string *resolved) const
{
    std::lock_guard<std::mutex> lock(mu_);
    return sys_.lookup(path, follow, resolved);
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
            kind = kind_of(it->second);
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
