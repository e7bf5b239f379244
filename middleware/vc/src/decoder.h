// Decoder steps the encoder uses when it gives up a decoded picture.
#ifndef KEP_VC_DECODER_H
#define KEP_VC_DECODER_H

#include "kep_vc.h"

namespace kep {

// Gives decoded picture `index` back to the decoder. Returns the request's
// result; on a failure the library keeps the picture and the next read
// queues it again. Reports nothing.
int dec_picture_back(kep_m2m *m2m, uint32_t index);

} // namespace kep

#endif
