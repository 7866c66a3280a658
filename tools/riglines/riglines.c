/* Modem lines and breaks for the rig's two pseudo-terminals, preloaded into
 * the Wine programs on the rig (docs/rig.md, "Lines").
 *
 * A pty has no modem lines: TIOCMGET fails with ENOTTY and a break does
 * nothing, so Wine's GetCommModemStatus, EscapeCommFunction and the line
 * events of WaitCommEvent fail.  Wine makes these requests in the program's
 * own process (ntdll.so), so this library answers them there, for the rig's
 * two slaves only, from the state file named by $RIGLINES_STATE, wired as a
 * null-modem cable.  Every other call goes through untouched; without
 * $RIGLINES_STATE nothing is looked at at all. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "line_state.h"

#define EXPORT __attribute__((visibility("default")))

typedef int (*IoctlFn)(int, unsigned long, ...);
typedef int (*TcsetattrFn)(int, int, const struct termios*);
typedef int (*CloseFn)(int);

static IoctlFn realIoctl;
#if defined(__i386__)
static IoctlFn realIoctlTime64;
#endif
static TcsetattrFn realTcsetattr;
static CloseFn realClose;

static char statePath[4096];
static pthread_once_t mapOnce = PTHREAD_ONCE_INIT;
static volatile uint32_t* state; /* NULL: no rig state here, pass everything */
static int stateFd = -1;
static pthread_mutex_t stateMutex = PTHREAD_MUTEX_INITIALIZER;

/* Descriptors this process used as a rig end, so that close() looks at
 * nothing else.  A descriptor past the table is still served; only its close
 * goes unseen, and the owner's death drops the lines then. */
#define SEEN_FDS 4096
static uint32_t seenFds[SEEN_FDS / 32];

static void* nextSymbol(const char* name) {
    return dlsym(RTLD_NEXT, name);
}

static void resolve(void) {
    if (!realIoctl) realIoctl = (IoctlFn)nextSymbol("ioctl");
#if defined(__i386__)
    if (!realIoctlTime64) realIoctlTime64 = (IoctlFn)nextSymbol("__ioctl_time64");
#endif
    if (!realTcsetattr) realTcsetattr = (TcsetattrFn)nextSymbol("tcsetattr");
    if (!realClose) realClose = (CloseFn)nextSymbol("close");
}

/* The environment is read before the program can change it. */
__attribute__((constructor)) static void start(void) {
    resolve();
    const char* path = getenv("RIGLINES_STATE");
    if (path && *path && strlen(path) < sizeof statePath) strcpy(statePath, path);
}

static void mapState(void) {
    if (!statePath[0]) return;
    const int fd = open(statePath, O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st;
    void* map = MAP_FAILED;
    if (fstat(fd, &st) == 0 && st.st_size >= (off_t)(RL_WORDS * 4)) {
        map = mmap(NULL, RL_WORDS * 4, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    if (map == MAP_FAILED) {
        realClose(fd);
        return;
    }
    const volatile uint32_t* w = map;
    if (w[RL_MAGIC] != RIGLINES_MAGIC || w[RL_VERSION] != RIGLINES_VERSION) {
        munmap(map, RL_WORDS * 4);
        realClose(fd);
        return;
    }
    stateFd = fd;
    state = map;
}

static volatile uint32_t* endWords(int end) {
    return state + RL_END_A + end * RL_END_WORDS;
}

/* 0 or 1 for the rig's end A or B, -1 for any other descriptor. */
static int rigEnd(int fd) {
    pthread_once(&mapOnce, mapState);
    if (!state) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return -1;
    for (int end = 0; end < 2; ++end) {
        const volatile uint32_t* e = endWords(end);
        if ((e[RL_MAJOR] || e[RL_MINOR]) && major(st.st_rdev) == e[RL_MAJOR] &&
            minor(st.st_rdev) == e[RL_MINOR]) {
            return end;
        }
    }
    return -1;
}

static void markSeen(int fd) {
    if (fd >= 0 && fd < SEEN_FDS) {
        __atomic_fetch_or(&seenFds[fd / 32], 1u << (fd % 32), __ATOMIC_RELAXED);
    }
}

/* Start time of a live process (field 22 of /proc/PID/stat, low 32 bits);
 * 0 when it is gone or a zombie. */
static uint32_t processStart(uint32_t pid) {
    char path[32], text[1024];
    snprintf(path, sizeof path, "/proc/%u/stat", pid);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const ssize_t n = read(fd, text, sizeof text - 1);
    realClose(fd);
    if (n <= 0) return 0;
    text[n] = '\0';
    const char* p = strrchr(text, ')');
    if (!p || p[1] != ' ' || p[2] == 'Z' || p[2] == 'X') return 0;
    /* p + 2 is field 3; skip to field 22. */
    p += 2;
    for (int field = 3; field < 22; ++field) {
        p = strchr(p, ' ');
        if (!p) return 0;
        ++p;
    }
    const uint32_t start = (uint32_t)strtoull(p, NULL, 10);
    return start ? start : 1;
}

static int isAlive(uint32_t pid, uint32_t start) {
    return pid != 0 && processStart(pid) == start;
}

static uint32_t myStart(void) {
    static uint32_t pid, start;
    const uint32_t now = (uint32_t)getpid();
    if (pid != now) {
        start = processStart(now);
        pid = now;
    }
    return start;
}

static void lockState(void) {
    pthread_mutex_lock(&stateMutex);
    while (flock(stateFd, LOCK_EX) != 0 && errno == EINTR) {
    }
}

static void unlockState(void) {
    flock(stateFd, LOCK_UN);
    pthread_mutex_unlock(&stateMutex);
}

/* What the far end's UART sees of one end: its outputs, and the edges it
 * counted.  A dead owner or a dead line drops the outputs; the drop counts as
 * edges before any writer has stored it. */
typedef struct {
    uint32_t outputs, dtrChanges, rtsChanges, ringFalls, breaks;
} EndView;

/* With RTS/CTS handshaking the UART drives RTS, raised while it has room for
 * more, which a pty always has. */
static uint32_t shown(uint32_t outputs) {
    return (outputs & RL_RTSCTS) ? outputs | RL_RTS : outputs;
}

static int lineUp(void) {
    return state[RL_LINE_PID] == 0 || isAlive(state[RL_LINE_PID], state[RL_LINE_START]);
}

static EndView viewEnd(int end, int line) {
    const volatile uint32_t* e = endWords(end);
    EndView v = {shown(e[RL_OUTPUTS]), e[RL_DTR_CHANGES], e[RL_RTS_CHANGES], e[RL_RING_FALLS],
                 e[RL_BREAKS]};
    if (!line || !isAlive(e[RL_OWNER_PID], e[RL_OWNER_START])) {
        v.dtrChanges += (v.outputs & RL_DTR) != 0;
        v.rtsChanges += (v.outputs & RL_RTS) != 0;
        v.ringFalls += (v.outputs & RL_RING) != 0;
        v.outputs = 0;
    }
    return v;
}

static void storeOutputs(volatile uint32_t* e, uint32_t outputs) {
    const uint32_t old = e[RL_OUTPUTS];
    if ((old ^ outputs) & RL_DTR) ++e[RL_DTR_CHANGES];
    if ((shown(old) ^ shown(outputs)) & RL_RTS) ++e[RL_RTS_CHANGES];
    if ((old & RL_RING) && !(outputs & RL_RING)) ++e[RL_RING_FALLS];
    if (!(old & RL_BREAK) && (outputs & RL_BREAK)) ++e[RL_BREAKS];
    e[RL_OUTPUTS] = outputs;
}

/* Under the lock: this end's outputs as they stand, after storing the drop
 * of a dead owner's lines. */
static uint32_t currentOutputs(volatile uint32_t* e) {
    if (e[RL_OWNER_PID] && !isAlive(e[RL_OWNER_PID], e[RL_OWNER_START])) {
        storeOutputs(e, 0);
        e[RL_OWNER_PID] = 0;
    }
    return e[RL_OUTPUTS];
}

static void setOutputs(int end, uint32_t keep, uint32_t set) {
    volatile uint32_t* e = endWords(end);
    lockState();
    const uint32_t old = currentOutputs(e);
    const uint32_t outputs = (old & keep) | set;
    if (outputs != old || e[RL_OWNER_PID] != (uint32_t)getpid()) {
        storeOutputs(e, outputs);
        e[RL_OWNER_START] = myStart();
        e[RL_OWNER_PID] = (uint32_t)getpid();
    }
    unlockState();
}

static int modemBits(int end) {
    lockState();
    const int line = lineUp();
    const EndView self = viewEnd(end, line), far = viewEnd(1 - end, line);
    unlockState();
    int bits = (int)(self.outputs & (RL_DTR | RL_RTS));
    if (far.outputs & RL_DTR) bits |= TIOCM_DSR | TIOCM_CD;
    if (far.outputs & RL_RTS) bits |= TIOCM_CTS;
    if (far.outputs & RL_RING) bits |= TIOCM_RI;
    return bits;
}

static void counts(int end, struct serial_icounter_struct* icount) {
    lockState();
    const EndView far = viewEnd(1 - end, lineUp());
    unlockState();
    memset(icount, 0, sizeof *icount);
    icount->cts = (int)far.rtsChanges;
    icount->dsr = (int)far.dtrChanges;
    icount->dcd = (int)far.dtrChanges;
    icount->rng = (int)far.ringFalls;
    icount->brk = (int)far.breaks;
}

static int isLineRequest(unsigned long request) {
    switch (request) {
        case TIOCMGET: case TIOCMSET: case TIOCMBIS: case TIOCMBIC:
        case TIOCSBRK: case TIOCCBRK: case TIOCGICOUNT:
            return 1;
        default:
            return 0;
    }
}

/* 1 when the request was answered here (result in *rc). */
static int answer(int fd, unsigned long request, void* arg, int* rc) {
    const int end = rigEnd(fd);
    if (end < 0) return 0;
    markSeen(fd);
    const uint32_t lines = RL_DTR | RL_RTS;
    *rc = 0;
    switch (request) {
        case TIOCMGET:
            *(int*)arg = modemBits(end);
            break;
        case TIOCMSET:
            setOutputs(end, ~lines, (uint32_t)*(const int*)arg & lines);
            break;
        case TIOCMBIS:
            setOutputs(end, ~0u, (uint32_t)*(const int*)arg & lines);
            break;
        case TIOCMBIC:
            setOutputs(end, ~((uint32_t)*(const int*)arg & lines), 0);
            break;
        case TIOCSBRK:
            setOutputs(end, ~0u, RL_BREAK);
            break;
        case TIOCCBRK:
            setOutputs(end, ~RL_BREAK, 0);
            break;
        case TIOCGICOUNT:
            counts(end, arg);
            break;
    }
    return 1;
}

static int lineIoctl(IoctlFn next, int fd, unsigned long request, void* arg) {
    int rc;
    if (statePath[0] && isLineRequest(request) && answer(fd, request, arg, &rc)) return rc;
    if (!next) {
        errno = ENOSYS;
        return -1;
    }
    return next(fd, request, arg);
}

EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (!realIoctl) resolve();
    return lineIoctl(realIoctl, fd, request, arg);
}

#if defined(__i386__)
/* What a program built with 64-bit time_t calls, as Debian's 32-bit ntdll.so is. */
EXPORT int __ioctl_time64(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (!realIoctlTime64) resolve();
    return lineIoctl(realIoctlTime64, fd, request, arg);
}
#endif

/* Wine asks for RTS/CTS handshaking with CRTSCTS, which a pty ignores:
 * linesim reads it from the state instead. */
EXPORT int tcsetattr(int fd, int action, const struct termios* t) {
    if (!realTcsetattr) resolve();
    const int rc = realTcsetattr(fd, action, t);
    if (rc == 0 && statePath[0] && t) {
        const int end = rigEnd(fd);
        /* Turning it off claims nothing that was not on. */
        if (end >= 0 && ((t->c_cflag & CRTSCTS) || (endWords(end)[RL_OUTPUTS] & RL_RTSCTS))) {
            markSeen(fd);
            setOutputs(end, ~RL_RTSCTS, (t->c_cflag & CRTSCTS) ? RL_RTSCTS : 0);
        }
    }
    return rc;
}

/* Whether another descriptor of this process still leads to END; one that
 * does is looked at when it closes in turn. */
static int endStillOpen(int end) {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return 1;
    int open = 0;
    const struct dirent* entry;
    const volatile uint32_t* e = endWords(end);
    while (!open && (entry = readdir(dir)) != NULL) {
        struct stat st;
        const int fd = atoi(entry->d_name);
        if (entry->d_name[0] == '.' || fd == dirfd(dir)) continue;
        open = fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) == e[RL_MAJOR] &&
               minor(st.st_rdev) == e[RL_MINOR];
        if (open) markSeen(fd);
    }
    closedir(dir);
    return open;
}

/* Wine closes its descriptor when the program closes the port: the owner's
 * last descriptor on an end drops that end's lines, as a UART driver does at
 * the last close. */
EXPORT int close(int fd) {
    if (!realClose) resolve();
    if (fd < 0 || fd >= SEEN_FDS || !statePath[0]) return realClose(fd);
    const uint32_t bit = 1u << (fd % 32);
    if (!(__atomic_load_n(&seenFds[fd / 32], __ATOMIC_RELAXED) & bit)) return realClose(fd);
    __atomic_fetch_and(&seenFds[fd / 32], ~bit, __ATOMIC_RELAXED);
    const int end = rigEnd(fd);
    const int rc = realClose(fd);
    const int saved = errno;
    if (end >= 0 && endWords(end)[RL_OWNER_PID] == (uint32_t)getpid() && !endStillOpen(end)) {
        volatile uint32_t* e = endWords(end);
        lockState();
        if (e[RL_OWNER_PID] == (uint32_t)getpid()) {
            storeOutputs(e, 0);
            e[RL_OWNER_PID] = 0;
        }
        unlockState();
    }
    errno = saved;
    return rc;
}
