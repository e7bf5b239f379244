/* Coverage builds only: a test's child process that ends with _exit() (as
 * a forked check must, to leave the parent's at-exit work alone) or with
 * abort() (a failed assertion of the library) writes its coverage counters
 * first, so that what it ran is counted. Linked with --wrap=_exit into every
 * test program. */
#include <signal.h>

void __gcov_dump(void);
void __real__exit(int status);

void __wrap__exit(int status)
{
    __gcov_dump();
    __real__exit(status);
}

/* The abort still ends the process by SIGABRT, as the tests expect. */
static void dump_then_abort(int sig)
{
    __gcov_dump();
    signal(sig, SIG_DFL);
    raise(sig);
}

__attribute__((constructor)) static void dump_on_abort(void)
{
    signal(SIGABRT, dump_then_abort);
}
