// kep_read_bmp and kep_cds_set_bmp on arbitrary files: headers with any
// sizes, offsets, depths and compression, files cut anywhere.
#include "scratch_files.h"
#include "kep_vc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    scratch::put_file("in.bmp", data, size);
    kep_cds cds{};
    snprintf(cds.bmp_path, sizeof cds.bmp_path, "%.40s/in.bmp", scratch::dir());
    snprintf(cds.proc_dir, sizeof cds.proc_dir, "%.40s", scratch::dir());
    // Thresholds and scale from the last bytes, so both vary with the input.
    cds.threshold[0] = cds.threshold[1] = cds.threshold[2] = size ? data[size - 1] : 128;
    cds.scale = size > 1 ? data[size - 2] % 4 : 0;
    if (kep_read_bmp(&cds) == 0) {
        if (cds.words <= 0 || cds.words > 1280 || !cds.bitmap || !cds.scaled_bitmap)
            abort(); // an accepted picture always has its bitmaps
        kep_cds_scale_datastamp(&cds);
        free(cds.bitmap);
        free(cds.scaled_bitmap);
        cds.bitmap = cds.scaled_bitmap = nullptr;
        if (kep_cds_set_bmp(&cds) != 0 || cds.bitmap)
            abort(); // the same file is accepted again and released
    } else if (cds.bitmap || cds.scaled_bitmap) {
        abort(); // a refused picture leaves nothing allocated
    }
    return 0;
}
