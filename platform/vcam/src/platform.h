// The platform: which paths are virtual nodes and of which device class,
// which descriptors and mappings belong to them, the options and the ledger.
// The libc wrappers ask it first and pass everything else straight through.
#ifndef VCAM_PLATFORM_H
#define VCAM_PLATFORM_H

#include "device.h"
#include "ledger.h"
#include "options.h"
#include "sysfs.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vcam {

// Makes one open of a node path.
using DeviceFactory = std::shared_ptr<Device> (*)(Ledger &, const Options &, const std::string &path);

class Platform {
public:
    // The one platform of the process, set up from KEP_VCAM on first use and
    // never destroyed (wrappers may run until the very end).
    static Platform &get();
    // The same, or null while this thread is making it (the wrappers then
    // pass the call through).
    static Platform *try_get();

    // Applies an option string; false (nothing changed) on a bad option.
    bool configure(const char *text, std::string &error);
    Ledger &ledger() { return ledger_; }
    Options options() const;

    bool is_node(const char *path) const;
    // True for a /proc/codec channel entry of a configured encoder channel
    // ("/proc/codec/1_hd"), which the stat wrappers then answer.
    bool is_proc_entry(const char *path) const;
    // Opens a node: the program's descriptor, or -1 with errno set.
    int open(const char *path, int flags);

    // The device behind a descriptor, or null when it is not a node's.
    std::shared_ptr<Device> device(int fd) const;
    // Forgets a descriptor; shuts its device down when it was the last one.
    void release(int fd);
    // A descriptor of a device was duplicated as newfd.
    void duplicated(int fd, int newfd);

    void add_mapping(void *addr, size_t len, const std::shared_ptr<Device> &dev, uint64_t offset);
    // What an munmap(addr, len) meets: nothing of a node's (the C library's
    // business alone), a node's mapping exactly, or a node's mapping (live
    // or already unmapped) that it does not match, a violation counted here.
    enum class Unmap { other, exact, mismatch };
    Unmap check_unmap(void *addr, size_t len);
    // The mapping at addr is gone: its device learns it.
    void remove_mapping(void *addr);
    // The platform failed an munmap of the mapping at addr (--fail munmap).
    void unmap_refused(void *addr);
    // The device class of the mapping that starts at addr ("isp", "enc"), or "".
    std::string mapping_kind(void *addr) const;

    // Lends [addr, addr + len) to `borrower` when it is a buffer some node's
    // program holds, so that the borrower may read it in place.
    LendResult borrow(uint64_t addr, uint64_t len, const std::string &borrower, Loan *loan) const;

    std::vector<std::shared_ptr<Device>> devices() const;

    // The device number (major 81) of a node path or of a node's descriptor,
    // 0 when it is neither.
    unsigned long long node_rdev(const char *path) const;
    unsigned long long node_rdev(int fd) const;
    // What identifies each node as a character device.
    std::vector<NodeIdentity> identities() const;
    // The node's sysfs entry a path names (see SysTree::lookup).
    SysTree::Entry sys_lookup(const char *path, bool follow, std::string *resolved) const;

    // The priorities the opens of a node path hold (VIDIOC_S_PRIORITY), as
    // the kernel counts them per device: an open moves from one to another
    // (0: none, when it opens or closes).
    void change_priority(const std::string &path, uint32_t from, uint32_t to);
    // The highest priority an open of the node holds, 0 when none.
    uint32_t max_priority(const std::string &path) const;

    struct DirItem {
        std::string name;
        unsigned char type; // DT_DIR, DT_REG, DT_LNK, DT_CHR
    };
    // What a directory lists of the platform's: the entries of one of its
    // sysfs directories, or the nodes inside a real directory (/dev). False
    // when there are none. `overlay`: the real directory's own entries, if it
    // exists, come first; `real` is where that directory is.
    bool list_dir(const char *path, std::vector<DirItem> *items, bool *overlay, std::string *real) const;

    std::string stats_text() const { return ledger_.format(); }

private:
    Platform();
    void load_environment();
    void register_classes_locked();
    void identify_nodes_locked();
    static void at_exit();
    // The statistics as --stats or --stats-file asks, from whatever thread.
    void write_stats();
    static void end_strict(const std::string &message);
    static void before_fork();
    static void after_fork_parent();
    static void after_fork_child();

    mutable std::mutex mu_;
    Options options_;
    Ledger ledger_;
    std::map<std::string, DeviceFactory> nodes_;
    std::vector<NodeIdentity> identities_; // in the order of the options
    SysTree sys_;
    mutable std::mutex prio_mu_; // apart: a device may close while mu_ is held
    std::map<std::string, std::vector<unsigned>> priorities_;
    std::map<int, std::shared_ptr<Device>> fds_;
    struct MapInfo {
        size_t len = 0;
        std::weak_ptr<Device> dev;
        uint64_t offset = 0;
        std::string label; // "isp /dev/video0 buffer 1"
        bool refused = false; // an munmap of it was failed by the platform
    };
    std::map<uintptr_t, MapInfo> maps_;
    // Node mappings unmapped lately, to tell an unmapping twice.
    std::vector<std::pair<uintptr_t, MapInfo>> retired_;
    std::atomic<int> fd_count_{0}, map_count_{0}, retired_count_{0};
    std::atomic<bool> environment_loaded_{false};
    int pid_ = 0;
    std::vector<std::shared_ptr<Device>> forking_;
};

} // namespace vcam

#endif
