// ISP capture steps shared with the encoder, which feeds ISP buffers to its
// input queue by user pointer.
#ifndef KEP_VC_ISP_H
#define KEP_VC_ISP_H

#include "kep_vc.h"

// Takes the next frame from the ISP into isp_index (and, memory-mapped,
// timestamp). Returns 0 when a frame was taken, -1 when nothing was (EAGAIN,
// or a dequeue failure that memory-mapped mode survives); the record is then
// unchanged. Fatal failures end the process.
int kep_isp_dq(kep_m2m *m2m);

// Gives buffer isp_index back to the ISP. Returns 0, or -1 when the driver
// refused it in memory-mapped mode (printed and otherwise survived: the
// library keeps it and the next read queues it again). A buffer already with
// the driver is not queued again; one the encoder still reads goes back when
// the encoder gives it up (kep_isp_lent_back).
int kep_isp_q(kep_m2m *m2m);
int kep_isp_q_index(kep_m2m *m2m, uint32_t index);

// Waits up to 5 seconds for the ISP descriptor to become readable, then
// kep_isp_dq. A time-out is printed and the dequeue is tried anyway. First
// the buffers the library holds go back to the driver; with none left there
// (all lent to an encoder that keeps them) it returns -1 without waiting.
int kep_isp_next_frame(kep_m2m *m2m);

#endif
