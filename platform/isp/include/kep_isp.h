/* libkep_isp: the ISP's motion-detection calls.
 *
 * The detector divides the picture into 192 blocks, 16 across and 12 down;
 * block b (b = row * 16 + column, from the top-left) is bit b % 32 of word
 * b / 32 in the mask and report arrays. Units: see platform/isp/README.md.
 * Every call returns 0, or -1 for a null pointer. */
#ifndef KEP_ISP_H
#define KEP_ISP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define KEP_ISP_API __attribute__((visibility("default")))
#else
#define KEP_ISP_API
#endif

#define KEP_ISP_MD_BLOCKS 192
#define KEP_ISP_MD_WORDS 6

/* 0 switches motion detection off, anything else on. Safe in a signal
 * handler. */
KEP_ISP_API int32_t kep_isp_md_enable_set(int32_t enable);

/* A block moves when the mean absolute luma difference between successive
 * frames, in 1/64 of a luma step, exceeds this value (512 = 8 steps). */
KEP_ISP_API int32_t kep_isp_md_threshold_set(int32_t threshold);

/* Number of moving blocks that raises the interrupt (values below 1 act as 1). */
KEP_ISP_API int32_t kep_isp_md_int_threshold_set(int32_t count);

/* Blocks whose bit is set are left out of detection. */
KEP_ISP_API int32_t kep_isp_md_block_mask_set(const uint32_t mask[KEP_ISP_MD_WORDS]);

/* How long kep_isp_md_int_get waits for an interrupt, in milliseconds
 * (values below 0 act as 0: look at what is there, do not wait). */
KEP_ISP_API int32_t kep_isp_md_int_timeout_set(int32_t timeout_ms);

/* Waits up to the time-out for a frame with motion; writes 1 to *status when
 * one came, 0 when the time-out passed without. */
KEP_ISP_API int32_t kep_isp_md_int_get(uint32_t *status);

/* The moving blocks of the last interrupt. */
KEP_ISP_API int32_t kep_isp_md_block_report_get(uint32_t report[KEP_ISP_MD_WORDS]);

#ifdef __cplusplus
}
#endif

#endif
