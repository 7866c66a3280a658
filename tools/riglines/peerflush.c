/* Preloaded into the Linux peers on the rig's ends (lrzsz's programs).

   A peer that exits drains its terminal (tcdrain) and then flushes it. On a
   UART tcdrain waits until the last byte is on the wire, so the flush has
   nothing left to throw away. On a pseudo-terminal tcdrain returns at once,
   and flushing the output throws away whatever the line process (socat,
   linesim) has not read yet: rx's ACK of the EOT, written just before it
   exits, is lost, and its sender is left asking. Here an output flush keeps
   the output, as the UART would have sent it; an input flush is left as it
   is. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <termios.h>

__attribute__((visibility("default"))) int tcflush(int fd, int queue) {
    static int (*real)(int, int);
    if (!real) real = (int (*)(int, int))dlsym(RTLD_NEXT, "tcflush");
    if (queue == TCOFLUSH) return 0;
    if (queue == TCIOFLUSH) queue = TCIFLUSH;
    return real(fd, queue);
}
