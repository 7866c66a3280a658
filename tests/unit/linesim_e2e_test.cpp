// End-to-end tests of the linesim binary: real pseudo-terminals, real
// signals. Every wait is bounded and the child is ended by its PID on
// every path (the guard's destructor kills it if a test bailed out early).

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fault_injector.h"
#include "pacing.h"

#ifndef LINESIM_BINARY
#error "LINESIM_BINARY must name the linesim executable"
#endif

namespace {

int64_t nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double nowSeconds() {
    return double(nowNs()) * 1e-9;
}

std::map<std::string, std::string> parseReport(const std::string& text) {
    std::map<std::string, std::string> values;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

uint64_t number(const std::map<std::string, std::string>& report, const std::string& key) {
    const auto it = report.find(key);
    return it == report.end() ? UINT64_MAX : std::strtoull(it->second.c_str(), nullptr, 10);
}

struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/linesim-test-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
};

class LinesimProcess {
public:
    ~LinesimProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }

    // Starts linesim and waits (bounded) for its A= and B= lines.
    void start(const std::vector<std::string>& args, const std::string& errPath) {
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            dup2(pipeFds[1], 1);
            const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, 2);
            std::vector<char*> argv{const_cast<char*>(LINESIM_BINARY)};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(LINESIM_BINARY, argv.data());
            _exit(127);
        }
        close(pipeFds[1]);
        out_ = pipeFds[0];
        std::string text;
        const double deadline = nowSeconds() + 10;
        while (text.find("\nB=") == std::string::npos || text.back() != '\n') {
            pollfd p{out_, POLLIN, 0};
            ASSERT_GT(poll(&p, 1, 200) >= 0 && nowSeconds() < deadline, 0)
                << "no A=/B= lines in time";
            if (p.revents == 0) continue;
            char buf[256];
            const ssize_t n = read(out_, buf, sizeof buf);
            ASSERT_GT(n, 0) << "linesim ended before printing its ends";
            text.append(buf, size_t(n));
        }
        const auto ends = parseReport(text);
        a = ends.at("A");
        b = ends.at("B");
    }

    // SIGTERM, then a bounded wait for a clean exit. Returns the exit status.
    int stop() {
        if (pid_ <= 0) return -1;
        kill(pid_, SIGTERM);
        const double deadline = nowSeconds() + 10;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (nowSeconds() > deadline) return -1;   // destructor kills it
            usleep(10000);
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    bool alive() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

    std::string a, b;

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

int openEnd(const std::string& path) {
    return open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
}

// Writes everything, or until the bound runs out, or, once stallFrom bytes
// are in, until the fd took nothing for stallSeconds; returns the number of
// bytes written.
size_t writeAll(int fd, const std::vector<uint8_t>& data, double seconds,
                double stallSeconds = 1e9, size_t stallFrom = 0) {
    size_t done = 0;
    const double deadline = nowSeconds() + seconds;
    double lastWrite = nowSeconds();
    while (done < data.size() && nowSeconds() < deadline &&
           (done < stallFrom || nowSeconds() - lastWrite < stallSeconds)) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n > 0) {
            done += size_t(n);
            lastWrite = nowSeconds();
        } else {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 50);
        }
    }
    return done;
}

// Reads until `want` bytes came or the bound ran out.
std::vector<uint8_t> readUpTo(int fd, size_t want, double seconds) {
    std::vector<uint8_t> got;
    const double deadline = nowSeconds() + seconds;
    while (got.size() < want && nowSeconds() < deadline) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 50);
        uint8_t buf[4096];
        const ssize_t n = read(fd, buf, std::min(sizeof buf, want - got.size()));
        if (n > 0) got.insert(got.end(), buf, buf + n);
    }
    return got;
}

std::vector<uint8_t> pattern(size_t n, unsigned salt) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = uint8_t(i * 31 + salt + (i >> 9));
    return bytes;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

TEST(LinesimE2E, RelaysBothWaysAndCleansUpOnSigterm) {
    TempDir dir;
    const std::string linkA = dir.path + "/a", linkB = dir.path + "/b";
    ASSERT_EQ(symlink("/nonexistent/stale", linkA.c_str()), 0);
    LinesimProcess sim;
    ASSERT_NO_FATAL_FAILURE(
        sim.start({"--link-a", linkA, "--link-b", linkB}, dir.path + "/err"));

    char target[256] = {};
    ASSERT_GT(readlink(linkA.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(sim.a, target);

    const int a = openEnd(linkA);
    int b = openEnd(linkB);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    const std::vector<uint8_t> toB = pattern(8192, 1), toA = pattern(6000, 2);
    ASSERT_EQ(writeAll(a, toB, 10), toB.size());
    EXPECT_EQ(readUpTo(b, toB.size(), 10), toB);
    ASSERT_EQ(writeAll(b, toA, 10), toA.size());
    EXPECT_EQ(readUpTo(a, toA.size(), 10), toA);

    // A peer closing and reopening its end must not upset the relay.
    for (int round = 0; round < 5; ++round) {
        close(b);
        ASSERT_EQ(writeAll(a, pattern(100, round), 5), 100u);
        usleep(20000);
        b = openEnd(linkB);
        ASSERT_GE(b, 0);
        EXPECT_EQ(readUpTo(b, 100, 5), pattern(100, round));
    }
    close(a);
    close(b);

    EXPECT_EQ(sim.stop(), 0);
    struct stat st;
    EXPECT_NE(lstat(linkA.c_str(), &st), 0) << "link A left behind";
    EXPECT_NE(lstat(linkB.c_str(), &st), 0) << "link B left behind";
    const auto report = parseReport(slurp(dir.path + "/err"));
    EXPECT_EQ(number(report, "ab_bytes_delivered"), 8192u + 500u);
    EXPECT_EQ(number(report, "ba_bytes_delivered"), 6000u);
    EXPECT_EQ(number(report, "ab_bytes_pending"), 0u);
    EXPECT_EQ(number(report, "ab_bits_flipped"), 0u);
    EXPECT_TRUE(report.count("elapsed_s"));
}

// 2000 bytes each way at once at 9600 baud: 2.08 s on the wire, both
// directions paced independently. No byte may come before the wire could
// have carried it, counted from before the write; being late is not
// asserted.
TEST(LinesimE2E, PacedLineDoesNotRunAheadOfTheWire) {
    TempDir dir;
    LinesimProcess sim;
    ASSERT_NO_FATAL_FAILURE(sim.start({"--baud", "9600"}, dir.path + "/err"));
    const int a = openEnd(sim.a), b = openEnd(sim.b);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    const std::vector<uint8_t> toB = pattern(2000, 3), toA = pattern(2000, 4);
    const int64_t t0 = nowNs();
    ASSERT_EQ(writeAll(a, toB, 5), toB.size());
    ASSERT_EQ(writeAll(b, toA, 5), toA.size());
    std::vector<uint8_t> gotB, gotA;
    const double deadline = nowSeconds() + 20;
    double doneB = 0, doneA = 0;
    while ((gotB.size() < 2000 || gotA.size() < 2000) && nowSeconds() < deadline) {
        pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        poll(p, 2, 100);
        uint8_t buf[4096];
        ssize_t n;
        if ((n = read(b, buf, sizeof buf)) > 0) gotB.insert(gotB.end(), buf, buf + n);
        if ((n = read(a, buf, sizeof buf)) > 0) gotA.insert(gotA.end(), buf, buf + n);
        const int64_t now = nowNs();
        ASSERT_LE(gotB.size(), linesim::bytesDueBy(9600, t0, now)) << "A->B ahead of the wire";
        ASSERT_LE(gotA.size(), linesim::bytesDueBy(9600, t0, now)) << "B->A ahead of the wire";
        if (!doneB && gotB.size() >= 2000) doneB = double(now - t0) * 1e-9;
        if (!doneA && gotA.size() >= 2000) doneA = double(now - t0) * 1e-9;
    }
    EXPECT_EQ(gotB, toB);
    EXPECT_EQ(gotA, toA);
    std::printf("2000 bytes at 9600 baud (ideal 2.083 s): A->B %.3f s, B->A %.3f s\n", doneB,
                doneA);
    close(a);
    close(b);
    EXPECT_EQ(sim.stop(), 0);
}

// Nobody reads B: linesim must hold what it can and push back on A, then
// hand over every byte once B reads, none lost. Writing ends when A has
// taken nothing for a second after the first MiB (linesim's own queue), so
// a slow machine can only make this test pass, never fail.
TEST(LinesimE2E, SlowReaderGetsBackPressureNotLoss) {
    TempDir dir;
    LinesimProcess sim;
    ASSERT_NO_FATAL_FAILURE(sim.start({}, dir.path + "/err"));
    const int a = openEnd(sim.a), b = openEnd(sim.b);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    const std::vector<uint8_t> data = pattern(3 << 20, 5);
    const size_t accepted = writeAll(a, data, 60, 1.0, size_t(1) << 20);
    EXPECT_LT(accepted, data.size()) << "writer never felt back-pressure";
    EXPECT_GT(accepted, size_t(1) << 20);
    const std::vector<uint8_t> got = readUpTo(b, accepted, 20);
    ASSERT_EQ(got.size(), accepted);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
    EXPECT_TRUE(sim.alive());
    close(a);
    close(b);
    EXPECT_EQ(sim.stop(), 0);
}

// A faulty A->B line, clean B->A: B receives exactly what the fault
// injector makes of the stream for that seed and direction, and the stats
// file accounts for every changed byte.
TEST(LinesimE2E, SeededFaultsFollowTheSeedAndAreCounted) {
    TempDir dir;
    const std::vector<uint8_t> sent = pattern(4000, 6);
    const linesim::FaultRates rates{0.002, 0.01, 0.01};
    linesim::FaultInjector injector;
    linesim::initFaultInjector(injector, rates, 77, 0);
    std::vector<uint8_t> expected;
    linesim::injectFaults(injector, sent.data(), sent.size(), expected);

    const std::string stats = dir.path + "/stats";
    LinesimProcess sim;
    ASSERT_NO_FATAL_FAILURE(sim.start({"--ber", "0.002", "--drop", "0.01", "--insert", "0.01",
                                       "--seed", "77", "--direction-faults", "ab", "--stats",
                                       stats},
                                      dir.path + "/err"));
    const int a = openEnd(sim.a), b = openEnd(sim.b);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    ASSERT_EQ(writeAll(a, sent, 5), sent.size());
    EXPECT_EQ(readUpTo(b, expected.size(), 10), expected);
    ASSERT_EQ(writeAll(b, sent, 5), sent.size());
    EXPECT_EQ(readUpTo(a, sent.size(), 10), sent) << "B->A must stay clean";
    close(a);
    close(b);
    ASSERT_EQ(sim.stop(), 0);

    const auto report = parseReport(slurp(stats));
    const linesim::FaultCounters& c = injector.counters;
    EXPECT_EQ(number(report, "ab_bytes_read"), 4000u);
    EXPECT_EQ(number(report, "ab_bytes_delivered"), expected.size());
    EXPECT_EQ(number(report, "ab_bytes_pending"), 0u);
    EXPECT_EQ(number(report, "ab_bits_flipped"), c.bitsFlipped);
    EXPECT_EQ(number(report, "ab_bytes_dropped"), c.bytesDropped);
    EXPECT_EQ(number(report, "ab_bytes_inserted"), c.bytesInserted);
    EXPECT_GT(c.bitsFlipped * c.bytesDropped * c.bytesInserted, 0u);
    EXPECT_EQ(number(report, "ba_bits_flipped") + number(report, "ba_bytes_dropped") +
                  number(report, "ba_bytes_inserted"),
              0u);
    EXPECT_EQ(report, parseReport(slurp(dir.path + "/err")));
}

// --latency A->B,B->A: a byte each way at once; the one towards B is held
// for its 400 ms, counted from before it was written, and the one towards A,
// not held, comes first.
TEST(LinesimE2E, LatencyTimerHoldsEachDirectionOnItsOwn) {
    TempDir dir;
    LinesimProcess sim;
    ASSERT_NO_FATAL_FAILURE(sim.start({"--latency", "400,0"}, dir.path + "/err"));
    const int a = openEnd(sim.a), b = openEnd(sim.b);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    const uint8_t toB = 0x42, toA = 0x41;
    const double t0 = nowSeconds();
    ASSERT_EQ(write(a, &toB, 1), 1);
    ASSERT_EQ(write(b, &toA, 1), 1);
    EXPECT_EQ(readUpTo(a, 1, 10), std::vector<uint8_t>{toA});
    uint8_t early = 0;
    EXPECT_NE(read(b, &early, 1), 1) << "A->B came no later than the unheld B->A byte";
    EXPECT_EQ(readUpTo(b, 1, 10), std::vector<uint8_t>{toB});
    EXPECT_GE(nowSeconds() - t0, 0.4);
    close(a);
    close(b);
    EXPECT_EQ(sim.stop(), 0);
}
