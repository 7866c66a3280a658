// linesim: two pseudo-terminals joined by an emulated serial line.
//
// Whatever a program writes into end A comes out of end B and the other way
// round, optionally paced at a baud rate and damaged by bit errors, lost and
// spurious bytes. See docs/linesim.md.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "fault_injector.h"
#include "flow_control.h"
#include "line_queue.h"
#include "pacing.h"

namespace {

using namespace linesim;

constexpr size_t kQueueCapacity = 1 << 20;
constexpr size_t kReadChunk = 4096;
// After a pty end reports EIO or a hang-up, look again this much later.
constexpr int64_t kRetryNs = 20000000;
// While flow control holds a direction, look at the far end's RTS this often.
constexpr int64_t kHoldPollNs = 1000000;

struct Options {
    std::string linkA;
    std::string linkB;
    uint32_t baud = 0;
    int64_t latencyNs[2] = {0, 0};   // A->B, B->A
    FaultRates rates;
    uint64_t seed = 1;
    std::string statsPath;
    std::string linesPath;
    bool faultsAtoB = true;
    bool faultsBtoA = true;
};

struct PtyEnd {
    int masterFd = -1;
    int slaveHoldFd = -1;   // never read; keeps the master from seeing hang-ups
    std::string slavePath;
    std::string linkPath;   // empty unless we made a link
    int64_t retryAtNs = 0;  // after EIO or a hang-up: master left alone until then
};

// How late deliveries are against the time the line makes them due: one
// count per write, in 1 us steps up to 10 ms, and one for anything later.
struct Lateness {
    static constexpr size_t kSteps = 10000;
    std::vector<uint64_t> counts = std::vector<uint64_t>(kSteps + 1, 0);
    uint64_t deliveries = 0;
    int64_t maxNs = 0;
};

void recordLateness(Lateness& lateness, int64_t ns) {
    ns = std::max<int64_t>(ns, 0);
    ++lateness.counts[std::min<size_t>(size_t(ns / 1000), Lateness::kSteps)];
    ++lateness.deliveries;
    lateness.maxNs = std::max(lateness.maxNs, ns);
}

// The least whole number of microseconds that `share` of the deliveries
// were no later than.
double latenessQuantileUs(const Lateness& lateness, double share) {
    if (lateness.deliveries == 0) return 0;
    const uint64_t wanted = uint64_t(std::ceil(share * double(lateness.deliveries)));
    uint64_t seen = 0;
    for (size_t step = 0; step < Lateness::kSteps; ++step) {
        seen += lateness.counts[step];
        if (seen >= wanted) return double(step + 1);
    }
    return double(lateness.maxNs) / 1000;
}

struct Direction {
    const char* name;
    PtyEnd* source;
    PtyEnd* sink;
    LineQueue queue;
    bool faultsOn = false;
    FaultInjector faults;
    std::vector<uint8_t> scratch;
    bool sinkFull = false;  // last write would block: wait for POLLOUT
    int sourceEnd = 0;      // 0 (A) or 1 (B), as the line state numbers the ends
    bool held = false;      // RTS/CTS handshaking stops the source's transmitter
    uint64_t bytesRead = 0;
    uint64_t bytesDelivered = 0;
    Lateness lateness;
};

int64_t monotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

[[noreturn]] void usage(int status) {
    std::fprintf(status ? stderr : stdout,
                 "usage: linesim [--link-a PATH] [--link-b PATH] [--baud N] [--latency MS[,MS]]\n"
                 "               [--ber R] [--drop R] [--insert R] [--seed N] [--stats PATH]\n"
                 "               [--direction-faults ab|ba|both] [--lines PATH]\n");
    std::exit(status);
}

// Both ends live for the whole run; an early exit still removes our links.
PtyEnd ends[2];

void removeLinks();

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "linesim: %s: %s\n", what, std::strerror(errno));
    removeLinks();
    std::exit(1);
}

double parseRate(const char* option, const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const double rate = std::strtod(text.c_str(), &end);
    if (errno || end == text.c_str() || *end || !(rate >= 0 && rate <= 1)) {
        std::fprintf(stderr, "linesim: %s wants a probability from 0 to 1, not \"%s\"\n",
                     option, text.c_str());
        std::exit(2);
    }
    return rate;
}

uint64_t parseUnsigned(const char* option, const std::string& text, uint64_t max) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (errno || end == text.c_str() || *end || text[0] == '-' || value > max) {
        std::fprintf(stderr, "linesim: %s wants a whole number up to %" PRIu64 ", not \"%s\"\n",
                     option, max, text.c_str());
        std::exit(2);
    }
    return value;
}

// Milliseconds, whole or decimal, for A->B and B->A; one value sets both.
void parseLatency(const std::string& text, int64_t latencyNs[2]) {
    const size_t comma = text.find(',');
    const std::string parts[2] = {text.substr(0, comma),
                                  comma == std::string::npos ? text : text.substr(comma + 1)};
    for (int i = 0; i < 2; ++i) {
        char* end = nullptr;
        errno = 0;
        const double ms = std::strtod(parts[i].c_str(), &end);
        if (errno || end == parts[i].c_str() || *end || !(ms >= 0 && ms <= 10000)) {
            std::fprintf(stderr, "linesim: --latency wants MS or MS,MS from 0 to 10000, not \"%s\"\n",
                         text.c_str());
            std::exit(2);
        }
        latencyNs[i] = int64_t(std::llround(ms * 1e6));
    }
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        if (name == "-h" || name == "--help") usage(0);
        const size_t equals = name.find('=');
        if (equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        } else {
            if (i + 1 >= argc) usage(2);
            value = argv[++i];
        }
        if (name == "--link-a") {
            options.linkA = value;
        } else if (name == "--link-b") {
            options.linkB = value;
        } else if (name == "--baud") {
            options.baud = uint32_t(parseUnsigned("--baud", value, 100000000));
        } else if (name == "--latency") {
            parseLatency(value, options.latencyNs);
        } else if (name == "--ber") {
            options.rates.bitErrorRate = parseRate("--ber", value);
        } else if (name == "--drop") {
            options.rates.dropRate = parseRate("--drop", value);
        } else if (name == "--insert") {
            options.rates.insertRate = parseRate("--insert", value);
        } else if (name == "--seed") {
            options.seed = parseUnsigned("--seed", value, std::numeric_limits<uint64_t>::max());
        } else if (name == "--stats") {
            options.statsPath = value;
        } else if (name == "--lines") {
            options.linesPath = value;
        } else if (name == "--direction-faults") {
            options.faultsAtoB = value == "ab" || value == "both";
            options.faultsBtoA = value == "ba" || value == "both";
            if (!options.faultsAtoB && !options.faultsBtoA) usage(2);
        } else {
            std::fprintf(stderr, "linesim: unknown option %s\n", name.c_str());
            usage(2);
        }
    }
    return options;
}

void openPty(PtyEnd& end) {
    end.masterFd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (end.masterFd < 0) die("posix_openpt");
    if (grantpt(end.masterFd) != 0 || unlockpt(end.masterFd) != 0) die("grantpt/unlockpt");
    const char* path = ptsname(end.masterFd);
    if (!path) die("ptsname");
    end.slavePath = path;
    end.slaveHoldFd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (end.slaveHoldFd < 0) die(path);
    termios tio;
    if (tcgetattr(end.slaveHoldFd, &tio) != 0) die("tcgetattr");
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(end.slaveHoldFd, TCSANOW, &tio) != 0) die("tcsetattr");
}

// Replaces a stale link atomically: link to a temporary name, then rename.
void makeLink(PtyEnd& end, const std::string& linkPath) {
    if (linkPath.empty()) return;
    struct stat st;
    if (lstat(linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        std::fprintf(stderr, "linesim: %s exists and is not a symbolic link\n",
                     linkPath.c_str());
        removeLinks();
        std::exit(1);
    }
    const std::string temporary = linkPath + ".linesim-" + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(end.slavePath.c_str(), temporary.c_str()) != 0) die(temporary.c_str());
    if (rename(temporary.c_str(), linkPath.c_str()) != 0) {
        unlink(temporary.c_str());
        die(linkPath.c_str());
    }
    end.linkPath = linkPath;
}

// Removes our link, unless something else has replaced it meanwhile.
void removeLink(const PtyEnd& end) {
    if (end.linkPath.empty()) return;
    char target[4096];
    const ssize_t n = readlink(end.linkPath.c_str(), target, sizeof target - 1);
    if (n < 0) return;
    target[n] = '\0';
    if (end.slavePath == target) unlink(end.linkPath.c_str());
}

void removeLinks() {
    removeLink(ends[0]);
    removeLink(ends[1]);
}

// How much the next read may take: a whole chunk or nothing. Waiting for a
// chunk's worth of room keeps a full queue from waking us for every few
// bytes the far end drains.
size_t readRoom(const Direction& dir) {
    // Spurious bytes can double what a read turns into.
    const size_t growth = dir.faultsOn && dir.faults.rates.insertRate > 0 ? 2 : 1;
    return lineQueueFree(dir.queue) >= kReadChunk * growth ? kReadChunk : 0;
}

// A held transmitter takes nothing more from its writer and puts nothing more
// on the wire; when it starts again, what it still had goes out from then on.
void updateHold(Direction& dir, FlowControl& flow, int64_t nowNs) {
    const bool held = sendHeld(flow, dir.sourceEnd, nowNs);
    if (dir.held && !held) lineQueueRestart(dir.queue, nowNs);
    dir.held = held;
}

void readSource(Direction& dir, int64_t nowNs) {
    if (dir.held) return;
    const size_t room = readRoom(dir);
    if (room == 0) return;
    uint8_t buffer[kReadChunk];
    const ssize_t n = read(dir.source->masterFd, buffer, room);
    if (n <= 0) {
        // EIO means no slave is open; with our own slave fd held that
        // should not happen, but if it does, it is "no data for now".
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            dir.source->retryAtNs = nowNs + kRetryNs;
        }
        return;
    }
    const int64_t arrivalNs = monotonicNs();
    dir.bytesRead += size_t(n);
    if (dir.faultsOn) {
        dir.scratch.clear();
        injectFaults(dir.faults, buffer, size_t(n), dir.scratch);
        lineQueuePush(dir.queue, dir.scratch.data(), dir.scratch.size(), arrivalNs);
    } else {
        lineQueuePush(dir.queue, buffer, size_t(n), arrivalNs);
    }
}

void deliverDue(Direction& dir, int64_t nowNs) {
    if (dir.sinkFull || nowNs < dir.sink->retryAtNs) return;
    // Bytes released earlier and still queued wait for the reader, not for
    // the line: they do not count as pacing.
    const bool onTime = dir.queue.released == 0 && !dir.held;
    const int64_t releaseNs = lineQueueNextReleaseNs(dir.queue);
    size_t due = dir.held ? dir.queue.released : lineQueueRelease(dir.queue, nowNs);
    if (due > 0 && onTime) recordLateness(dir.lateness, monotonicNs() - releaseNs);
    while (due > 0) {
        size_t length = 0;
        const uint8_t* head = lineQueueHead(dir.queue, due, &length);
        const ssize_t n = write(dir.sink->masterFd, head, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            // EAGAIN: the peer is not reading; anything else: look again
            // later. Either way the bytes stay queued.
            if (errno == EAGAIN) dir.sinkFull = true;
            else dir.sink->retryAtNs = nowNs + kRetryNs;
            return;
        }
        lineQueuePop(dir.queue, size_t(n));
        dir.bytesDelivered += size_t(n);
        due -= size_t(n);
        if (size_t(n) < length) {
            dir.sinkFull = true;
            return;
        }
    }
}

void printReport(FILE* out, const Direction dirs[2], double elapsedSeconds) {
    std::fprintf(out, "elapsed_s=%.3f\n", elapsedSeconds);
    for (int i = 0; i < 2; ++i) {
        const Direction& d = dirs[i];
        const FaultCounters& c = d.faults.counters;
        std::fprintf(out,
                     "%s_bytes_read=%" PRIu64 "\n%s_bytes_delivered=%" PRIu64 "\n"
                     "%s_bytes_pending=%zu\n%s_bits_flipped=%" PRIu64 "\n"
                     "%s_bytes_dropped=%" PRIu64 "\n%s_bytes_inserted=%" PRIu64 "\n",
                     d.name, d.bytesRead, d.name, d.bytesDelivered, d.name, d.queue.size,
                     d.name, c.bitsFlipped, d.name, c.bytesDropped, d.name, c.bytesInserted);
        std::fprintf(out,
                     "%s_deliveries=%" PRIu64 "\n%s_late_us_median=%.0f\n%s_late_us_p99=%.0f\n"
                     "%s_late_us_max=%.0f\n",
                     d.name, d.lateness.deliveries, d.name, latenessQuantileUs(d.lateness, 0.5),
                     d.name, latenessQuantileUs(d.lateness, 0.99), d.name,
                     std::ceil(double(d.lateness.maxNs) / 1000));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0) die("sigprocmask");
    const int signalFd = signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd < 0) die("signalfd");
    signal(SIGPIPE, SIG_IGN);
    // Wake-ups are due to the microsecond: no timer slack.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    const int timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timerFd < 0) die("timerfd_create");

    FlowControl flow;
    if (!options.linesPath.empty()) {
        std::string error;
        if (!openFlowControl(flow, options.linesPath, &error)) {
            std::fprintf(stderr, "linesim: --lines %s\n", error.c_str());
            return 1;
        }
    }
    openPty(ends[0]);
    openPty(ends[1]);
    makeLink(ends[0], options.linkA);
    makeLink(ends[1], options.linkB);
    std::printf("A=%s\nB=%s\n", ends[0].slavePath.c_str(), ends[1].slavePath.c_str());
    std::fflush(stdout);

    Direction dirs[2];
    dirs[0].name = "ab";
    dirs[0].source = &ends[0];
    dirs[0].sink = &ends[1];
    dirs[0].sourceEnd = 0;
    dirs[0].faultsOn = options.faultsAtoB && faultsActive(options.rates);
    dirs[1].name = "ba";
    dirs[1].source = &ends[1];
    dirs[1].sink = &ends[0];
    dirs[1].sourceEnd = 1;
    dirs[1].faultsOn = options.faultsBtoA && faultsActive(options.rates);
    for (int i = 0; i < 2; ++i) {
        initLineQueue(dirs[i].queue, kQueueCapacity, options.baud, options.latencyNs[i]);
        initFaultInjector(dirs[i].faults, dirs[i].faultsOn ? options.rates : FaultRates{},
                          options.seed, uint64_t(i));
        dirs[i].scratch.reserve(2 * kReadChunk);
    }

    const int64_t startNs = monotonicNs();
    constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
    constexpr int64_t kFired = std::numeric_limits<int64_t>::min();
    int64_t timerArmedNs = kNever;
    bool stopping = false;
    while (!stopping) {
        int64_t nowNs = monotonicNs();
        for (Direction& d : dirs) {
            updateHold(d, flow, nowNs);
            deliverDue(d, nowNs);
        }

        // One pollfd per master (each is the source of one direction and
        // the sink of the other), plus the signal fd and the timer. A master
        // in its retry pause is not polled at all, so a lasting hang-up
        // cannot spin us.
        pollfd fds[4] = {{signalFd, POLLIN, 0}, {ends[0].masterFd, 0, 0},
                         {ends[1].masterFd, 0, 0}, {timerFd, POLLIN, 0}};
        int64_t wakeNs = kNever;
        for (int i = 0; i < 2; ++i) {
            if (nowNs < ends[i].retryAtNs) {
                fds[1 + i].fd = -1;
                wakeNs = std::min(wakeNs, ends[i].retryAtNs);
            }
        }
        for (int i = 0; i < 2; ++i) {
            Direction& d = dirs[i];
            if (!d.held && readRoom(d) > 0) fds[1 + i].events |= POLLIN;
            if (d.held) wakeNs = std::min(wakeNs, nowNs + kHoldPollNs);
            if (d.sinkFull) {
                fds[2 - i].events |= POLLOUT;
            } else if (d.queue.size > 0 && !d.held) {
                wakeNs = std::min(wakeNs, std::max(lineQueueNextReleaseNs(d.queue),
                                                   d.sink->retryAtNs));
            }
        }
        // An absolute deadline: however long this pass took, the wake-up
        // is at the byte's own due time.
        if (wakeNs != timerArmedNs) {
            itimerspec when{};
            if (wakeNs != kNever) {
                when.it_value.tv_sec = std::max<int64_t>(wakeNs, 1) / kNsPerSecond;
                when.it_value.tv_nsec = std::max<int64_t>(wakeNs, 1) % kNsPerSecond;
            }
            if (timerfd_settime(timerFd, TFD_TIMER_ABSTIME, &when, nullptr) != 0) {
                die("timerfd_settime");
            }
            timerArmedNs = wakeNs;
        }
        if (ppoll(fds, 4, nullptr, nullptr) < 0) {
            if (errno == EINTR) continue;
            die("ppoll");
        }
        if (fds[0].revents & POLLIN) stopping = true;
        // A timer that went off stays readable until it is set again, which
        // the next pass does in any case (it is cheaper than reading it).
        if (fds[3].revents & POLLIN) timerArmedNs = kFired;

        nowNs = monotonicNs();
        for (int i = 0; i < 2; ++i) {
            if (fds[1 + i].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                ends[i].retryAtNs = nowNs + kRetryNs;
            }
        }
        for (int i = 0; i < 2; ++i) {
            Direction& d = dirs[i];
            updateHold(d, flow, nowNs);
            const short srcEvents = fds[1 + i].revents;
            const short sinkEvents = fds[2 - i].revents;
            if (srcEvents & (POLLIN | POLLHUP | POLLERR)) readSource(d, nowNs);
            if (sinkEvents & (POLLOUT | POLLHUP | POLLERR)) d.sinkFull = false;
        }
    }

    const double elapsed = double(monotonicNs() - startNs) / double(kNsPerSecond);
    removeLinks();
    printReport(stderr, dirs, elapsed);
    if (!options.statsPath.empty()) {
        FILE* stats = std::fopen(options.statsPath.c_str(), "w");
        if (!stats) {
            std::fprintf(stderr, "linesim: %s: %s\n", options.statsPath.c_str(),
                         std::strerror(errno));
            return 1;
        }
        printReport(stats, dirs, elapsed);
        std::fclose(stats);
    }
    return 0;
}
