/* The rig's line state: one small file in the rig's folder, mapped by the
 * preload library (riglines.c, both word sizes), by linesim and by the Python
 * helper (riglines.py, which mirrors these numbers).  Every field is an
 * aligned 32-bit word in the machine's byte order.  Writers hold flock(2) on
 * the file; one word is read or stored whole, so readers that need a single
 * word take no lock.  See docs/rig.md, "Lines". */
#ifndef RIGLINES_LINE_STATE_H
#define RIGLINES_LINE_STATE_H

#include <stdint.h>

enum {
    RIGLINES_MAGIC = 0x4e4c4752, /* "RGLN" */
    RIGLINES_VERSION = 1,

    /* Header words. */
    RL_MAGIC = 0,
    RL_VERSION = 1,
    RL_SIZE = 2,         /* bytes in the file */
    RL_GENERATION = 3,   /* bumped each time the rig gets a new line */
    RL_LINE_PID = 4,     /* the line (socat or linesim); 0: always up */
    RL_LINE_START = 5,   /* its start time, low 32 bits of /proc/PID/stat field 22 */
    RL_END_A = 8,        /* end A's words start here, end B's RL_END_WORDS later */
    RL_END_WORDS = 16,
    RL_WORDS = RL_END_A + 2 * RL_END_WORDS,

    /* Words of one end. */
    RL_MAJOR = 0,        /* the pty slave's device number */
    RL_MINOR = 1,
    RL_OUTPUTS = 2,      /* RL_DTR | RL_RTS | ... as this end's owner drives them */
    RL_OWNER_PID = 3,    /* who drives them; 0: nobody, and RL_OUTPUTS is 0 */
    RL_OWNER_START = 4,
    RL_DTR_CHANGES = 5,  /* edges of this end's outputs, as the far end's UART counts them */
    RL_RTS_CHANGES = 6,
    RL_RING_FALLS = 7,   /* trailing edges of RL_RING */
    RL_BREAKS = 8        /* breaks this end has started */
};

/* RL_OUTPUTS bits.  DTR and RTS are the TIOCM bits, so one store sets both. */
#define RL_DTR 0x002u    /* shows at the far end as DSR and DCD */
#define RL_RTS 0x004u    /* as CTS */
#define RL_RING 0x080u   /* as RI (the helper's request) */
#define RL_BREAK 0x10000u
#define RL_RTSCTS 0x20000u /* this end sends only while its CTS is up (linesim holds the rest) */

#endif
