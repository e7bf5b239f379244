// vcam: runs a program with the virtual camera platform attached.
#include "options.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

void usage(FILE *out)
{
    fprintf(out,
            "Usage: vcam [options] -- COMMAND [ARGS...]\n"
            "Runs COMMAND with the virtual camera platform preloaded (libkep_vcam.so):\n"
            "its ISP node answers the V4L2 requests a camera driver would, with a moving\n"
            "test scene, paced frames and the faults chosen below. The exit status is\n"
            "COMMAND's. Unless ALSA_CONFIG_PATH is set, ALSA programs get the virtual\n"
            "sound devices of ../share/alsa/kep-virtual.conf (see platform/alsa).\n\n"
            "Options:\n"
            "  -h, --help          print this text and exit\n"
            "%s",
            vcam::options_help());
}

// The platform library sits in ../lib beside the launcher's bin directory.
bool find_library(std::string &path)
{
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return false;
    self[n] = '\0';
    std::string dir(self);
    size_t slash = dir.rfind('/');
    if (slash == std::string::npos)
        return false;
    path = dir.substr(0, slash) + "/../lib/libkep_vcam.so";
    return access(path.c_str(), R_OK) == 0;
}

// The virtual ALSA devices sit in ../share/alsa beside the launcher's bin
// directory (built only with the media parts). An explicit choice wins.
void point_alsa_at_virtual_devices(const std::string &lib)
{
    const char *set = getenv("ALSA_CONFIG_PATH");
    if (set != nullptr && *set != '\0')
        return;
    std::string conf = lib.substr(0, lib.rfind("/lib/")) + "/share/alsa/kep-virtual.conf";
    char resolved[PATH_MAX];
    if (realpath(conf.c_str(), resolved) != nullptr && access(resolved, R_OK) == 0)
        setenv("ALSA_CONFIG_PATH", resolved, 1);
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> words;
    int i = 1;
    for (; i < argc; ++i) {
        if (strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        }
        if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
            usage(stdout);
            return 0;
        }
        words.push_back(argv[i]);
    }
    vcam::Options options;
    std::string error;
    if (!vcam::parse_options(words, options, error)) {
        fprintf(stderr, "vcam: %s\n", error.c_str());
        usage(stderr);
        return 2;
    }
    if (i >= argc) {
        fprintf(stderr, "vcam: no command given\n");
        usage(stderr);
        return 2;
    }
    std::string lib;
    if (!find_library(lib)) {
        fprintf(stderr, "vcam: cannot find libkep_vcam.so beside the launcher\n");
        return 2;
    }
    std::string env;
    for (const std::string &w : words)
        env += (env.empty() ? "" : " ") + vcam::quote_word(w);
    std::string preload = lib;
#ifdef KEP_VCAM_PRELOAD_FIRST
    preload = std::string(KEP_VCAM_PRELOAD_FIRST) + ":" + preload;
#endif
    if (const char *old = getenv("LD_PRELOAD"); old != nullptr && *old != '\0')
        preload += std::string(":") + old;
    if (setenv("KEP_VCAM", env.c_str(), 1) != 0 || setenv("LD_PRELOAD", preload.c_str(), 1) != 0) {
        perror("vcam: setenv");
        return 2;
    }
    point_alsa_at_virtual_devices(lib);
    execvp(argv[i], argv + i);
    fprintf(stderr, "vcam: cannot run %s: %s\n", argv[i], strerror(errno));
    return 127;
}
