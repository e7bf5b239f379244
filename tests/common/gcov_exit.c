/* Coverage builds only: a test's child process that ends with _exit() (as
 * a forked check must, to leave the parent's at-exit work alone) writes its
 * coverage counters first, so that what it ran is counted. Linked with
 * --wrap=_exit into every test program. */
void __gcov_dump(void);
void __real__exit(int status);

void __wrap__exit(int status)
{
    __gcov_dump();
    __real__exit(status);
}
