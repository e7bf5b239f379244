// Encoder steps shared with the decode-to-encode path.
#ifndef KEP_VC_CODEC_H
#define KEP_VC_CODEC_H

#include "kep_vc.h"

namespace kep {

// Gives bit-stream buffer codec_index back to the encoder, with the key-frame
// flag while force_i_frame is set. Returns the request's result; a failure is
// printed.
int codec_cap_q(kep_m2m *m2m);

// Queues input picture isp_index on the encoder's input queue.
void codec_out_q(kep_m2m *m2m);

// Takes the consumed input picture back from the encoder; nothing to take
// (EAGAIN) and a dropped picture (EIO) are silent, other failures printed.
void codec_out_dq(kep_m2m *m2m);

// Takes a bit-stream buffer from the encoder into codec_index, codec_size and
// codec_flags (all 0 when nothing was taken).
void codec_cap_dq(kep_m2m *m2m);

} // namespace kep

#endif
