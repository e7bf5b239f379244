// kep_scale_down_bmppicture and kep_scale_up_bmppicture on arbitrary files.
#include "cds_fuzz_io.h"
#include "kep_vc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    cdsfuzz::put_file("in.bmp", data, size);
    char in[256], out[256];
    cdsfuzz::path_of("in.bmp", in);
    cdsfuzz::path_of("out.bmp", out);
    if (kep_scale_down_bmppicture(in, out) == 0) {
        // The halved file must be accepted again (it may halve to nothing).
        char again[256];
        kep_scale_down_bmppicture(out, cdsfuzz::path_of("again.bmp", again));
    }
    unlink(out);
    // Doubling is limited to small inputs: a valid header may ask for a
    // picture four times the file's size.
    if (size <= 4096)
        kep_scale_up_bmppicture(in, out);
    unlink(out);
    return 0;
}
