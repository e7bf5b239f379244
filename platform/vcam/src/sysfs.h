// The sysfs entries of the virtual nodes, laid out as the kernel lists a
// video4linux device: /sys/dev/char/81:N and /sys/class/video4linux/videoN
// lead to the node's directory under its platform device, which holds
// uevent, name, dev, index and the device and subsystem links. Only these
// entries are answered; any other path under /sys stays the real one.
#ifndef VCAM_SYSFS_H
#define VCAM_SYSFS_H

#include <map>
#include <string>
#include <vector>

namespace vcam {

constexpr unsigned kVideoMajor = 81; // video4linux character devices

// What identifies one node as a character device of the kernel.
struct NodeIdentity {
    std::string path;   // "/dev/video0"
    std::string name;   // "video0": the last part of the path
    std::string kind;   // its device class: "isp", "enc", "dec", "media"
    std::string parent; // the platform device the node belongs to: "vcam"
    std::string card;   // the node's name, as QUERYCAP's card
    unsigned major = kVideoMajor, minor = 0;
    unsigned index = 0; // a video node's number among its parent's
};

class SysTree {
public:
    enum class Kind { none, dir, file, link };
    struct Entry {
        Kind kind = Kind::none;
        std::string text; // a file's contents, a link's target
        // Directories that may exist in the real sysfs too (/sys/class, ...):
        // listed with the real entries first, then ours.
        bool overlay = false;
        std::vector<std::string> children;
    };

    void build(const std::vector<NodeIdentity> &nodes);

    // The entry an absolute path names, through the tree's links (the last
    // component's only when `follow`). Kind::none when the path is not ours;
    // `resolved` is then the path to hand to the C library: the path itself,
    // or where one of our links led. For an entry, `resolved` is its path.
    Entry lookup(const char *path, bool follow, std::string *resolved) const;

    // The kind of the entry at a resolved path (no links followed).
    Kind kind_at(const std::string &path) const;

    // True when a path is worth a look-up at all: cheap, no lock needed,
    // nothing called (the C library's start-up may ask before anything else
    // of the process is ready).
    static bool may_hold(const char *path)
    {
        return path != nullptr && path[0] == '/' && path[1] == 's' && path[2] == 'y' && path[3] == 's' &&
               (path[4] == '/' || path[4] == '\0');
    }

private:
    void add(const std::string &path, Kind kind, const std::string &text);

    std::map<std::string, Entry> entries_; // by path, no trailing '/'
};

} // namespace vcam

#endif
