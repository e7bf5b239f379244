// Helpers of the datastamp tests: a scratch directory standing for a
// channel's datastamp directory, whole-file reads and writes, and capture of
// what the library prints.
#ifndef KEP_CDS_TEST_UTIL_H
#define KEP_CDS_TEST_UTIL_H

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace cdstest {

// A fresh directory under /tmp, removed with its files at the end.
class ScratchDir {
public:
    ScratchDir()
    {
        char tmpl[] = "/tmp/kep-cds-XXXXXX";
        path_ = mkdtemp(tmpl) ? tmpl : "";
    }
    ~ScratchDir() { remove_tree(path_); }
    const std::string &path() const { return path_; }
    const char *c_str() const { return path_.c_str(); }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

    static void remove_tree(const std::string &dir)
    {
        DIR *d = opendir(dir.c_str());
        if (!d)
            return;
        while (dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == "..")
                continue;
            std::string p = dir + "/" + name;
            struct stat st;
            if (lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                remove_tree(p);
            else
                unlink(p.c_str());
        }
        closedir(d);
        rmdir(dir.c_str());
    }

private:
    std::string path_;
};

inline std::string read_file(const std::string &path)
{
    std::string out;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return "<missing>";
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}

inline bool write_file(const std::string &path, const std::string &data)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
}

inline bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Captures standard output and standard error of the process while alive.
class Capture {
public:
    Capture()
    {
        fflush(stdout);
        fflush(stderr);
        saved_out_ = dup(1);
        saved_err_ = dup(2);
        out_ = tmpfile();
        err_ = tmpfile();
        dup2(fileno(out_), 1);
        dup2(fileno(err_), 2);
    }
    ~Capture() { finish(); }

    // Stops capturing; the texts are then in out() and err().
    void finish()
    {
        if (saved_out_ < 0)
            return;
        fflush(stdout);
        fflush(stderr);
        dup2(saved_out_, 1);
        dup2(saved_err_, 2);
        close(saved_out_);
        close(saved_err_);
        saved_out_ = saved_err_ = -1;
        out_text_ = slurp(out_);
        err_text_ = slurp(err_);
    }
    const std::string &out()
    {
        finish();
        return out_text_;
    }
    const std::string &err()
    {
        finish();
        return err_text_;
    }

private:
    static std::string slurp(FILE *f)
    {
        std::string s;
        rewind(f);
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            s.append(buf, n);
        fclose(f);
        return s;
    }
    int saved_out_ = -1, saved_err_ = -1;
    FILE *out_ = nullptr, *err_ = nullptr;
    std::string out_text_, err_text_;
};

// The eight words of each block of a block text, parsed back.
inline std::vector<unsigned> parse_words(const std::string &text)
{
    std::vector<unsigned> words;
    const char *p = text.c_str();
    char *end;
    while (*p) {
        unsigned long v = strtoul(p, &end, 16);
        if (end == p)
            break;
        words.push_back(static_cast<unsigned>(v));
        p = end;
        while (*p == ' ')
            ++p;
    }
    return words;
}

} // namespace cdstest

#endif
