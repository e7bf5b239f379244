/* The virtual camera platform: a user-space stand-in for the camera's V4L2
 * drivers, attached to a program by preloading libkep_vcam.so (see the vcam
 * launcher) or by linking it into a test. These calls let tests and the
 * motion-detection substitute configure and observe it. */
#ifndef VCAM_H
#define VCAM_H

#ifdef __cplusplus
extern "C" {
#endif

/* Resets faults, statistics and configuration to the given option string
 * (the launcher's syntax, e.g. "--grant 1 --fail QBUF:always:EIO"); a null or
 * empty string means the defaults. Returns 0, or -1 on a bad option (nothing
 * changes then). Call it while no virtual node is open. */
int vcam_configure(const char *options);

/* Writes the statistics text (as --stats prints it) into buf, always
 * NUL-terminated when len > 0; returns the length of the whole text. */
int vcam_stats_format(char *buf, unsigned len);

/* One counter by name ("VIDIOC_QBUF", "frames", "copies", "mmap",
 * "REQBUFS.granted", "S_FMT.width", ...), or -1 if the name is unknown. */
long vcam_stat(const char *name);

/* Waits until a streaming ISP node has produced a frame numbered above
 * after_seq (frames are numbered from 1 across every ISP node and open of the
 * process, so a number once seen is never seen again). Returns 0 with the frame's luma
 * plane, size and number; 1 when timeout_ms passed first; -1 when no ISP node
 * is streaming. The luma plane stays valid until the calling thread's next
 * call. */
int vcam_isp_wait_frame(unsigned long long after_seq, int timeout_ms, const unsigned char **luma,
                        unsigned *width, unsigned *height, unsigned long long *seq);

#ifdef __cplusplus
}
#endif

#endif
