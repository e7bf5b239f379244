// The datastamp of one encoder channel as the virtual codec driver keeps it:
// the settings written to the seven datastamp files, the answers the driver
// gives when they are read, and the drawing of the stamp into a picture.
// Shared by the FUSE file system (codecfs) and whatever encodes pictures.
#ifndef CODECFS_STAMP_H
#define CODECFS_STAMP_H

#include <stddef.h>
#include <stdint.h>

namespace codecfs {

enum class DsFile { datastamp, position, dimension, color, color_attr, scale, enable, count };

// The file names, indexed by DsFile.
extern const char *const kFileNames[static_cast<int>(DsFile::count)];

// Returns the file named name, or DsFile::count.
DsFile file_by_name(const char *name);

// Largest "ds_datastamp" text kept, and the most block words decoded from it.
constexpr size_t kMaxStampText = 16384;
constexpr size_t kMaxStampWords = 2048;

struct Stamp {
    // The block words of the stamp, in the layout that scale selects.
    uint32_t words[kMaxStampWords];
    uint32_t word_count;
    // The last "ds_datastamp" text exactly as written; reads answer it.
    char text[kMaxStampText];
    size_t text_len;
    int32_t start[2];   // picture position of the stamp's top-left pixel
    int32_t dim[2];     // columns and rows of 16 × 16 blocks
    int32_t fg[3];      // Y, Cb, Cr of set pixels
    int32_t bg[3];      // Y, Cb, Cr of clear pixels inside the stamp
    int32_t weight;     // kept and answered; does not change the drawing
    int32_t attr;       // kept and answered; does not change the drawing
    int32_t scale;      // 0 ×1, 1 ×2, 2 ×4: the block layout and the magnification
    int32_t enable;
};

// Takes len bytes written to a file as one complete setting. Returns 0, or
// -1 when the text is not a setting of that file (the stamp is unchanged).
int apply(Stamp &s, DsFile file, const char *data, size_t len);

// The driver's answer to a read of the file, as the whole file content.
// Returns its length; out receives at most cap bytes and is NUL-terminated
// when there is room.
size_t answer(const Stamp &s, DsFile file, char *out, size_t cap);

// Magnification of a scale code: 2 for 1, 4 for 2, 1 otherwise.
int magnification(int32_t scale);

// Whether pixel (x, y), 0..15, of a block in the layout of scale is set.
bool block_pixel(const uint32_t *block, int32_t scale, int x, int y);

// Draws the stamp, while enabled, into a planar YUV 4:2:0 picture ('S420':
// luma, then Cb and Cr at half width and height). Set pixels get the first
// colour, clear pixels inside the stamp the second; what falls outside the
// picture is clipped.
void draw_s420(const Stamp &s, uint8_t *picture, unsigned width, unsigned height);

} // namespace codecfs

#endif
