// Writes the seed corpus of the reader fuzz targets from the test streams:
// reader_make_seeds <corpus directory> [extra stream files: name=path ...]
#include "reader_support.h"

#include <stdio.h>
#include <sys/stat.h>

#include <string>

namespace {

std::string root;

void put(const std::string &target, const std::string &name, const Bytes &bytes)
{
    std::string dir = root + "/" + target;
    mkdir(dir.c_str(), 0755);
    std::string path = dir + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        perror(path.c_str());
        return;
    }
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

Bytes header(uint32_t dst, uint32_t chunking, uint8_t lead)
{
    return {(uint8_t)dst, (uint8_t)(dst >> 8), (uint8_t)chunking, (uint8_t)(chunking >> 8), lead};
}

void seeds_for(const std::string &format, const std::string &name, const Bytes &stream)
{
    // File mode: the read boundary before, inside and after the start.
    for (uint32_t at : {0u, 3u, 40u, 150u}) {
        uint32_t lead = (8192 - at) % 8192;
        put("reader_" + format + "_file", name + "-at" + std::to_string(at),
            concat({header(0xFFFF, lead, format == "h264" ? 0xA5 : 0x00), stream}));
    }
    put("reader_" + format + "_file", name + "-small-dst", concat({header(200, 0, 0), stream}));
    // Memory mode: whole data, and data cut into pieces.
    put("reader_" + format + "_memory", name + "-whole", concat({header(0xFFFF, 0, 0), stream}));
    put("reader_" + format + "_memory", name + "-pieces", concat({header(0xFFFF, 0x1234, 0), stream}));
    put("reader_" + format + "_memory", name + "-small-dst", concat({header(100, 0, 0), stream}));
}

Bytes read_all(const char *path)
{
    Bytes b;
    FILE *f = fopen(path, "rb");
    if (f == nullptr)
        return b;
    int c;
    while ((c = fgetc(f)) != EOF)
        b.push_back((uint8_t)c);
    fclose(f);
    return b;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: reader_make_seeds <corpus directory> [format:name=path ...]\n");
        return 2;
    }
    root = argv[1];
    mkdir(root.c_str(), 0755);

    seeds_for("h264", "synthetic", concat({sps(), pps(true), slice(5, 0, 60), slice(5, 40, 50), slice(1, 0, 33),
                                           slice(1, 20, 21), pps(false, 1), slice(1, 0, 47), slice(5, 0, 40)}));
    seeds_for("h264", "quirks", {0, 0, 0, 1, 0x41, 0x9A, 0x80, 0x33, 0x00, 0, 0, 0, 1, 0x41, 0x80, 0, 0, 0, 0,
                                 0x66, 0, 0, 1, 0x41, 0x9B, 0, 0, 0, 1, 0x67, 0x11});
    JpegSpec a;
    a.restart = true;
    a.fill = 3;
    a.comment = 30;
    JpegSpec b;
    b.v = 1;
    b.luma_q = 33;
    b.scan = 90;
    JpegSpec c;
    c.components = 1;
    c.h = c.v = 1;
    seeds_for("mjpeg", "synthetic", concat({make_jpeg(a).bytes, make_jpeg(b).bytes, make_jpeg(c).bytes}));

    // Real encoder output, when given.
    for (int i = 2; i < argc; i++) {
        std::string arg = argv[i];
        size_t colon = arg.find(':'), eq = arg.find('=');
        if (colon == std::string::npos || eq == std::string::npos)
            continue;
        seeds_for(arg.substr(0, colon), arg.substr(colon + 1, eq - colon - 1), read_all(arg.substr(eq + 1).c_str()));
    }

    // Bit reader: operation count, operations, field.
    put("bits", "golomb", {8, 0xC0, 0xC0, 0xC0, 0xC0, 5, 32, 0, 17, 0xA6, 0x40, 0x00, 0x00, 0x00, 0x01, 0xFF});
    put("bits", "zeros", {3, 0xC0, 32, 0xC1, 0, 0, 0, 0, 0, 0});
    return 0;
}
