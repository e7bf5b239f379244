// Option parsing shared by the library and the launcher.
#include "options.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

namespace vcam {

namespace {

struct ErrnoName {
    const char *name;
    int value;
};

constexpr ErrnoName kErrnos[] = {
    {"EPERM", EPERM},         {"ENOENT", ENOENT},       {"EINTR", EINTR},       {"EIO", EIO},
    {"ENXIO", ENXIO},         {"E2BIG", E2BIG},         {"EBADF", EBADF},       {"EAGAIN", EAGAIN},
    {"EWOULDBLOCK", EAGAIN},  {"ENOMEM", ENOMEM},       {"EACCES", EACCES},     {"EFAULT", EFAULT},
    {"EBUSY", EBUSY},         {"EEXIST", EEXIST},       {"ENODEV", ENODEV},     {"EINVAL", EINVAL},
    {"ENFILE", ENFILE},       {"EMFILE", EMFILE},       {"ENOTTY", ENOTTY},     {"ENOSPC", ENOSPC},
    {"EPIPE", EPIPE},         {"ERANGE", ERANGE},       {"ENOSYS", ENOSYS},     {"ENODATA", ENODATA},
    {"ETIME", ETIME},         {"EPROTO", EPROTO},       {"EOVERFLOW", EOVERFLOW}, {"ENOBUFS", ENOBUFS},
    {"ETIMEDOUT", ETIMEDOUT}, {"EOPNOTSUPP", EOPNOTSUPP}, {"ENOTSUP", ENOTSUP}, {"ECANCELED", ECANCELED},
};

constexpr const char *kFaultNames[] = {
    "QUERYCAP", "CROPCAP", "G_CROP", "S_CROP",  "G_PARM",   "S_PARM", "ENUM_FMT", "G_FMT", "S_FMT",
    "TRY_FMT",  "REQBUFS", "QUERYBUF", "QBUF",  "DQBUF",    "STREAMON", "STREAMOFF", "G_CTRL", "S_CTRL", "S_EXT_CTRLS",
    "open",     "mmap",    "munmap",  "read",   "fcntl",  "select",
};

bool parse_count(const std::string &text, long min, long max, long &out)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    long v = strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max)
        return false;
    out = v;
    return true;
}

bool parse_fail(const std::string &shape, FailRule &rule, std::string &error)
{
    std::vector<std::string> parts;
    size_t from = 0;
    for (;;) {
        size_t colon = shape.find(':', from);
        parts.push_back(shape.substr(from, colon == std::string::npos ? std::string::npos : colon - from));
        if (colon == std::string::npos)
            break;
        from = colon + 1;
    }
    rule = FailRule{};
    if (parts.size() > 1 && is_fault_scope(parts[0])) {
        rule.node = parts[0];
        parts.erase(parts.begin());
    }
    if (parts.size() > 3 || !is_fault_name(parts[0])) {
        error = "--fail: unknown request '" + parts[0] + "'";
        return false;
    }
    rule.request = parts[0];
    rule.err = EINVAL;
    long at = 0;
    for (size_t i = 1; i < parts.size(); ++i) {
        if (i == 1 && (parts[i] == "once" || parts[i] == "always")) {
            rule.always = parts[i] == "always";
        } else if (i == 1 && parts[i].size() > 1 && parts[i][0] == '@' &&
                   parse_count(parts[i].substr(1), 1, 100000000, at)) {
            rule.at = static_cast<unsigned>(at);
        } else if (i == parts.size() - 1 && (parts[i] == "badindex" || parts[i] == "errorflag") &&
                   rule.request == "DQBUF") {
            rule.effect = parts[i] == "badindex" ? FailEffect::bad_index : FailEffect::error_flag;
            rule.err = 0;
        } else if (i == parts.size() - 1 && errno_from_name(parts[i]) != 0) {
            rule.err = errno_from_name(parts[i]);
        } else {
            error = "--fail: bad field '" + parts[i] + "' in '" + shape + "'";
            return false;
        }
    }
    return true;
}

} // namespace

int errno_from_name(const std::string &name)
{
    for (const ErrnoName &e : kErrnos)
        if (name == e.name)
            return e.value;
    long v = 0;
    if (parse_count(name, 1, 4095, v))
        return static_cast<int>(v);
    return 0;
}

bool is_fault_name(const std::string &name)
{
    for (const char *n : kFaultNames)
        if (name == n)
            return true;
    return false;
}

bool is_fault_scope(const std::string &name)
{
    return name == "isp" || name == "enc" || name == "enc.cap" || name == "enc.out" || name == "dec" ||
           name == "dec.cap" || name == "dec.out";
}

bool scope_matches(const std::string &node, const std::string &scope)
{
    if (node.empty() || node == scope)
        return true;
    return scope.size() > node.size() && scope.compare(0, node.size(), node) == 0 && scope[node.size()] == '.';
}

int channel_of_path(const std::string &path)
{
    size_t end = path.size(), begin = end;
    while (begin > 0 && path[begin - 1] >= '0' && path[begin - 1] <= '9')
        --begin;
    if (begin == end || end - begin > 6)
        return -1;
    return atoi(path.c_str() + begin);
}

bool split_words(const char *text, std::vector<std::string> &out, std::string &error)
{
    out.clear();
    if (text == nullptr)
        return true;
    const char *p = text;
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == '\n')
            ++p;
        if (*p == '\0')
            return true;
        std::string word;
        while (*p != '\0' && *p != ' ' && *p != '\t' && *p != '\n') {
            if (*p == '\'' || *p == '"') {
                char q = *p++;
                while (*p != '\0' && *p != q)
                    word += *p++;
                if (*p != q) {
                    error = "unterminated quote in options";
                    return false;
                }
                ++p;
            } else if (*p == '\\' && p[1] != '\0') {
                word += p[1];
                p += 2;
            } else {
                word += *p++;
            }
        }
        out.push_back(word);
    }
}

std::string quote_word(const std::string &word)
{
    if (!word.empty() && word.find_first_of(" \t\n'\"\\") == std::string::npos)
        return word;
    std::string q = "'";
    for (char c : word) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

bool parse_options(const std::vector<std::string> &words, Options &out, std::string &error)
{
    Options o;
    bool isp_given = false, encoder_given = false, decoder_given = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string &w = words[i];
        auto value = [&](std::string &v) {
            if (i + 1 >= words.size()) {
                error = w + ": missing value";
                return false;
            }
            v = words[++i];
            return true;
        };
        std::string v;
        long n = 0;
        if (w == "--isp") {
            if (!value(v))
                return false;
            if (v.empty() || v[0] != '/') {
                error = "--isp: the node path must be absolute";
                return false;
            }
            if (!isp_given)
                o.isp_paths.clear();
            isp_given = true;
            o.isp_paths.push_back(v);
        } else if (w == "--encoder") {
            if (!value(v))
                return false;
            if (v.empty() || v[0] != '/') {
                error = "--encoder: the node path must be absolute";
                return false;
            }
            if (!encoder_given)
                o.encoder_paths.clear();
            encoder_given = true;
            o.encoder_paths.push_back(v);
        } else if (w == "--decoder") {
            if (!value(v))
                return false;
            if (v.empty() || v[0] != '/') {
                error = "--decoder: the node path must be absolute";
                return false;
            }
            if (!decoder_given)
                o.decoder_paths.clear();
            decoder_given = true;
            o.decoder_paths.push_back(v);
        } else if (w == "--dec-grant" || w == "--dec-cap-grant") {
            if (!value(v))
                return false;
            if (!parse_count(v, 0, 64, n)) {
                error = w + ": expected a count from 0 to 64, got '" + v + "'";
                return false;
            }
            (w == "--dec-grant" ? o.dec_grant : o.dec_cap_grant) = static_cast<int>(n);
        } else if (w == "--dec-refuse") {
            if (!value(v))
                return false;
            if (v == "always") {
                o.dec_refuse = -1;
            } else if (parse_count(v, 0, 1000000, n)) {
                o.dec_refuse = static_cast<int>(n);
            } else {
                error = "--dec-refuse: expected a count or 'always', got '" + v + "'";
                return false;
            }
        } else if (w == "--dec-bad-index") {
            o.dec_bad_index = true;
        } else if (w == "--enc-grant" || w == "--enc-error") {
            if (!value(v))
                return false;
            if (!parse_count(v, 0, w == "--enc-grant" ? 64 : 1000000, n)) {
                error = w + ": expected a count, got '" + v + "'";
                return false;
            }
            (w == "--enc-grant" ? o.enc_grant : o.enc_error) = static_cast<int>(n);
        } else if (w == "--enc-bad-index") {
            o.enc_bad_index = true;
        } else if (w == "--no-proc-codec") {
            o.no_proc_codec = true;
        } else if (w == "--grant") {
            if (!value(v))
                return false;
            if (!parse_count(v, 0, 64, n)) {
                error = "--grant: expected a count from 0 to 64, got '" + v + "'";
                return false;
            }
            o.grant = static_cast<int>(n);
        } else if (w == "--fail") {
            if (!value(v))
                return false;
            FailRule rule;
            if (!parse_fail(v, rule, error))
                return false;
            o.fails.push_back(rule);
        } else if (w == "--eintr" || w == "--eagain") {
            if (!value(v))
                return false;
            if (!parse_count(v, 0, 1000000, n)) {
                error = w + ": expected a count, got '" + v + "'";
                return false;
            }
            (w == "--eintr" ? o.eintr : o.eagain) = static_cast<int>(n);
        } else if (w == "--size") {
            if (!value(v))
                return false;
            size_t x = v.find('x');
            long sw = 0, sh = 0;
            if (x == std::string::npos || !parse_count(v.substr(0, x), 16, 8192, sw) ||
                !parse_count(v.substr(x + 1), 16, 8192, sh)) {
                error = "--size: expected WxH (16 to 8192 each), got '" + v + "'";
                return false;
            }
            o.size_w = static_cast<unsigned>(sw) & ~1u;
            o.size_h = static_cast<unsigned>(sh) & ~1u;
        } else if (w == "--fps") {
            if (!value(v))
                return false;
            if (!parse_count(v, 1, 1000, n)) {
                error = "--fps: expected 1 to 1000, got '" + v + "'";
                return false;
            }
            o.fps = static_cast<unsigned>(n);
        } else if (w == "--stats-file") {
            if (!value(v))
                return false;
            o.stats_file = v;
        } else if (w == "--no-crop") {
            o.no_crop = true;
        } else if (w == "--zero-sizes") {
            o.zero_sizes = true;
        } else if (w == "--no-streaming") {
            o.no_streaming = true;
        } else if (w == "--no-read") {
            o.no_read = true;
        } else if (w == "--no-capture") {
            o.no_capture = true;
        } else if (w == "--bad-index") {
            o.bad_index = true;
        } else if (w == "--bad-userptr") {
            o.bad_userptr = true;
        } else if (w == "--still") {
            o.still = true;
        } else if (w == "--plain-codec") {
            o.plain_codec = true;
        } else if (w == "--datastamp") {
            if (!value(v))
                return false;
            o.datastamp_dir = v;
        } else if (w == "--stats") {
            o.stats = true;
        } else if (w == "--strict") {
            o.strict = true;
        } else {
            error = "unknown option '" + w + "'";
            return false;
        }
    }
    out = o;
    return true;
}

const char *options_help()
{
    return "  --isp PATH          ISP capture node path (default /dev/video0; repeat for more\n"
           "                      nodes). The path stats as a character device.\n"
           "  --grant N           REQBUFS grants N buffers whatever was asked (default: what\n"
           "                      was asked, capped at 16).\n"
           "  --encoder PATH      encoder node path of the codec driver (default /dev/video1,\n"
           "                      channel 1: the trailing number; repeat for more channels).\n"
           "                      Each channel has its /proc/codec/N_hd and N_jd entries.\n"
           "  --no-proc-codec     no /proc/codec entries for the encoder channels.\n"
           "  --datastamp DIR     a mounted codecfs: the encoder burns the datastamp of its\n"
           "                      channel (DIR/N_hd/.stamp, DIR/N_jd/.stamp, ...) into every\n"
           "                      picture it codes.\n"
           "  --enc-grant N       encoder REQBUFS grants N buffers whatever was asked.\n"
           "  --enc-error N       the next N bit-stream buffers come back empty with the\n"
           "                      error flag 0x40 (their pictures are consumed).\n"
           "  --enc-bad-index     the next bit-stream DQBUF returns the granted count.\n"
           "  --decoder PATH      decoder node path of the codec driver (default /dev/video2;\n"
           "                      repeat for more nodes).\n"
           "  --dec-grant N       decoder REQBUFS grants N buffers on both queues.\n"
           "  --dec-cap-grant N   decoder REQBUFS grants N buffers on the picture queue.\n"
           "  --dec-refuse N|always\n"
           "                      the decoder refuses the next N bit-stream QBUFs (or every\n"
           "                      one) with EBUSY.\n"
           "  --dec-bad-index     the next picture DQBUF of the decoder returns the granted\n"
           "                      count.\n"
           "  --fail [NODE:]REQ[:once|:always][:ERRNO]\n"
           "                      fail the named request (default once, EINVAL); instead of\n"
           "                      once or always, @K fails only its K-th occurrence on NODE\n"
           "                      (counted from 1, as the NODE:REQ statistics count them).\n"
           "                      NODE limits\n"
           "                      the fault to the ISP (isp), the encoder (enc) or one\n"
           "                      encoder queue (enc.cap bit stream, enc.out pictures), the\n"
           "                      decoder (dec) or one decoder queue (dec.out bit stream,\n"
           "                      dec.cap pictures). REQ is a\n"
           "                      request name without VIDIOC_ (QUERYCAP CROPCAP G_CROP S_CROP\n"
           "                      G_PARM S_PARM ENUM_FMT G_FMT S_FMT TRY_FMT REQBUFS QUERYBUF\n"
           "                      QBUF DQBUF STREAMON STREAMOFF G_CTRL S_CTRL) or one of open,\n"
           "                      mmap, munmap, read, fcntl, select (a select() or poll()\n"
           "                      waiting on such a node fails). ERRNO is a name (EINVAL, EIO,\n"
           "                      EBUSY, ENOMEM, EAGAIN, ...) or a number; for DQBUF also\n"
           "                      badindex (it succeeds with an index outside every table) or\n"
           "                      errorflag (its buffer comes back empty with flag 0x40).\n"
           "                      Repeatable.\n"
           "  --eintr N           the first N attempts of every request fail with EINTR\n"
           "                      (then it succeeds; the next request starts over).\n"
           "  --eagain N          the next N dequeues (DQBUF, read) fail with EAGAIN.\n"
           "  --no-crop           CROPCAP fails with EINVAL (no crop support).\n"
           "  --size WxH          S_FMT adjusts the size to W x H (rounded down to even).\n"
           "  --zero-sizes        S_FMT reports bytesperline 0 and sizeimage 0.\n"
           "  --no-streaming      QUERYCAP lacks the streaming capability.\n"
           "  --no-read           QUERYCAP lacks the read/write capability.\n"
           "  --no-capture        QUERYCAP lacks the video capture capability.\n"
           "  --bad-index         the next DQBUF returns an index at the granted count.\n"
           "  --bad-userptr       the next user-pointer DQBUF returns a user pointer that\n"
           "                      matches no queued buffer.\n"
           "  --fps N             frame rate while the program sets none (default 30;\n"
           "                      S_PARM overrides).\n"
           "  --still             the test scene stands still (object and frame counter).\n"
           "  --strict            end the program (status 70) at the first buffer-ownership\n"
           "                      violation, with a line naming node, buffer, request and\n"
           "                      owner; without it violations are only counted.\n"
           "  --plain-codec       the encoder and decoder frame pictures without coding them\n"
           "                      (the plain engines of builds without FFmpeg).\n"
           "  --stats             print the statistics on standard error at exit.\n"
           "  --stats-file PATH   write the statistics to PATH at exit instead.\n";
}

} // namespace vcam
