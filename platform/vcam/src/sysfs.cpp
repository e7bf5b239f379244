#include "sysfs.h"

#include <string.h>

namespace vcam {

namespace {

std::vector<std::string> components(const std::string &path)
{
    std::vector<std::string> out;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos)
            j = path.size();
        if (j > i)
            out.push_back(path.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

std::string joined(const std::string &head, const std::vector<std::string> &parts, size_t from)
{
    std::string out = head;
    for (size_t i = from; i < parts.size(); ++i)
        out += "/" + parts[i];
    return out.empty() ? "/" : out;
}

} // namespace

void SysTree::add(const std::string &path, Kind kind, const std::string &text)
{
    if (entries_.count(path) != 0)
        return; // the first node of a name keeps it
    Entry e;
    e.kind = kind;
    e.text = text;
    entries_[path] = e;
    size_t slash = path.rfind('/');
    auto parent = entries_.find(path.substr(0, slash));
    if (parent != entries_.end())
        parent->second.children.push_back(path.substr(slash + 1));
}

void SysTree::build(const std::vector<NodeIdentity> &nodes)
{
    entries_.clear();
    for (const char *dir :
         {"/sys", "/sys/dev", "/sys/dev/char", "/sys/class", "/sys/class/video4linux", "/sys/devices", "/sys/devices/platform"}) {
        add(dir, Kind::dir, "");
        entries_[dir].overlay = true;
    }
    for (const NodeIdentity &n : nodes) {
        std::string device = "/sys/devices/platform/" + n.parent;
        add(device, Kind::dir, "");
        add(device + "/uevent", Kind::file, "DRIVER=" + n.parent + "\nMODALIAS=platform:" + n.parent + "\n");
        add(device + "/modalias", Kind::file, "platform:" + n.parent + "\n");
        add(device + "/video4linux", Kind::dir, "");
        std::string devname = n.path.compare(0, 5, "/dev/") == 0 ? n.path.substr(5) : n.name;
        bool media = n.kind == "media";
        // A media controller sits right under its device, on the media bus;
        // video nodes in the video4linux class.
        std::string below = media ? n.name : "video4linux/" + n.name;
        std::string node = device + "/" + below;
        if (entries_.count(node) != 0)
            continue; // two nodes of one name: the kernel would not have both
        std::string number = std::to_string(n.major) + ":" + std::to_string(n.minor);
        add(node, Kind::dir, "");
        add(node + "/uevent", Kind::file,
            "MAJOR=" + std::to_string(n.major) + "\nMINOR=" + std::to_string(n.minor) + "\nDEVNAME=" + devname + "\n");
        add(node + "/dev", Kind::file, number + "\n");
        std::string up = media ? "../" : "../../";
        if (media) {
            add(node + "/model", Kind::file, n.card + "\n");
            add(node + "/subsystem", Kind::link, up + "../../../bus/media");
        } else {
            add(node + "/name", Kind::file, n.card + "\n");
            add(node + "/index", Kind::file, std::to_string(n.index) + "\n");
            add(node + "/dev_debug", Kind::file, "0\n");
            add(node + "/subsystem", Kind::link, up + "../../../class/video4linux");
        }
        add(node + "/device", Kind::link, up + "../" + n.parent);
        std::string from_top = "../../devices/platform/" + n.parent + "/" + below;
        if (!media)
            add("/sys/class/video4linux/" + n.name, Kind::link, from_top);
        add("/sys/dev/char/" + number, Kind::link, from_top);
    }
}

SysTree::Kind SysTree::kind_at(const std::string &path) const
{
    auto it = entries_.find(path);
    return it == entries_.end() ? Kind::none : it->second.kind;
}

SysTree::Entry SysTree::lookup(const char *path, bool follow, std::string *resolved) const
{
    std::string todo = path;
    bool moved = false; // one of our links was followed
    if (!todo.empty() && todo.back() == '/')
        follow = true; // a trailing slash names what a link leads to
    for (int hops = 0; hops < 40; ++hops) {
        std::vector<std::string> parts = components(todo);
        std::string cur;
        bool again = false;
        for (size_t i = 0; i < parts.size() && !again; ++i) {
            const std::string &c = parts[i];
            if (c == ".")
                continue;
            if (c == "..") {
                cur.erase(cur.empty() ? 0 : cur.rfind('/'));
                continue;
            }
            cur += "/" + c;
            auto it = entries_.find(cur);
            if (it == entries_.end()) {
                // Not ours from here on: the C library answers.
                *resolved = moved ? joined(cur, parts, i + 1) : std::string(path);
                return Entry{};
            }
            bool last = i + 1 == parts.size();
            if (it->second.kind == Kind::link && (!last || follow)) {
                const std::string &target = it->second.text;
                std::string head = target[0] == '/' ? target : cur.substr(0, cur.rfind('/')) + "/" + target;
                todo = joined(head, parts, i + 1);
                moved = again = true;
            }
        }
        if (again)
            continue;
        *resolved = cur.empty() ? "/" : cur;
        auto it = entries_.find(cur);
        return it == entries_.end() ? Entry{} : it->second;
    }
    *resolved = path; // a loop: let the C library say so
    return Entry{};
}

} // namespace vcam
