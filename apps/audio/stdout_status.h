// For the tools whose report on standard output is their result (pcminfo,
// audvol): a report lost on the way (a full disk, a closed pipe) is a failure.
#ifndef KEP_STDOUT_STATUS_H
#define KEP_STDOUT_STATUS_H

#include <errno.h>
#include <stdio.h>
#include <string.h>

// Flushes standard output. Returns 0, or 1 after a message on standard error
// when anything written to it was lost.
inline int stdout_status()
{
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "write standard output failed: %s\n", strerror(errno));
        return 1;
    }
    return 0;
}

#endif
