// Encoder steps shared with the decode-to-encode path.
#ifndef KEP_VC_CODEC_H
#define KEP_VC_CODEC_H

#include "kep_vc.h"

namespace kep {

// Whose pictures the encoder reads: the ISP's buffers, the decoder's
// pictures, or its own mapped input buffers.
enum class Feeder : uint32_t { none = 0, isp = 1, decoder = 2, own = 3 };

// Gives bit-stream buffer codec_index back to the encoder, with the key-frame
// flag while force_i_frame is set. Returns the request's result; a failure is
// printed, and the library keeps the buffer for the next read to queue.
int codec_cap_q(kep_m2m *m2m);

// True while the caller holds the bit-stream buffer a read took.
bool codec_holds_frame(kep_m2m *m2m);

// Gives the bit-stream buffer the caller holds back (codec_cap_q); nothing
// when the caller holds none (a failed dequeue left it with the driver) and,
// after a stop, nothing but forgetting it (the restart queues buffer 0).
// Returns the request's result, or 0 without a request.
int codec_frame_back(kep_m2m *m2m);

// Queues picture `index` of the feeder's table on the encoder's input (by
// user pointer when codec_in_memory is 2) and marks it lent. Returns the
// request's result; reports nothing.
int codec_queue_picture(kep_m2m *m2m, Feeder feeder, uint32_t index);

// Queues input picture isp_index on the encoder's input queue.
void codec_out_q(kep_m2m *m2m);

// Takes consumed pictures back, oldest first, until `expected` comes or none
// is done (EAGAIN, EIO: silent; other failures printed). Each goes back to
// its owner unless the caller still holds it.
void codec_pictures_back(kep_m2m *m2m, uint32_t expected);

// Before a read: a bit-stream buffer the driver refused goes back, and
// pictures the encoder has finished with since go back to their owners.
void codec_settle(kep_m2m *m2m);

// Takes a bit-stream buffer from the encoder into codec_index, codec_size and
// codec_flags (all 0 when nothing was taken). Returns the request's result,
// errno kept.
int codec_cap_dq(kep_m2m *m2m);

} // namespace kep

#endif
