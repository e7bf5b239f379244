// kep_scale_down_bmppicture and kep_scale_up_bmppicture on arbitrary files:
// a refused picture leaves no output file, an accepted one gives a file of
// the size its header states, and a halved picture that still has pixels is
// accepted again.
#include "scratch_files.h"
#include "kep_vc.h"

namespace {

uint32_t le32(const uint8_t *p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Checks the output of a call that returned rc; true when it has pixels.
bool check_output(int32_t rc, const char *name)
{
    long size = scratch::file_size(name);
    if (rc != 0) {
        if (size != -1)
            abort(); // a refused picture left an output file
        return false;
    }
    char path[256];
    uint8_t h[30];
    FILE *f = fopen(scratch::path_of(name, path), "rb");
    if (!f || fread(h, 1, sizeof h, f) != sizeof h || le32(h + 2) != static_cast<uint32_t>(size))
        abort(); // the header's file size is not the file's
    fclose(f);
    return le32(h + 18) != 0 && le32(h + 22) != 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    scratch::put_file("in.bmp", data, size);
    char in[256], out[256], again[256];
    scratch::path_of("in.bmp", in);
    scratch::path_of("out.bmp", out);
    scratch::path_of("again.bmp", again);
    if (check_output(kep_scale_down_bmppicture(in, out), "out.bmp")) {
        int32_t rc = kep_scale_down_bmppicture(out, again);
        if (rc != 0)
            abort(); // the library refused its own halved picture
        check_output(rc, "again.bmp");
        unlink(again);
    }
    unlink(out);
    // Doubling is limited to small inputs: a valid header may ask for a
    // picture four times the file's size.
    if (size <= 4096)
        check_output(kep_scale_up_bmppicture(in, out), "out.bmp");
    unlink(out);
    return 0;
}
