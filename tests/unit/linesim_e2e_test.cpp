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

#ifndef LINESIM_BINARY
#error "LINESIM_BINARY must name the linesim executable"
#endif

namespace {

double nowSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
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
        const double deadline = nowSeconds() + 5;
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

// Writes everything, or until the bound runs out or the fd took nothing
// for stallSeconds; returns the number of bytes written.
size_t writeAll(int fd, const std::vector<uint8_t>& data, double seconds,
                double stallSeconds = 1e9) {
    size_t done = 0;
    const double deadline = nowSeconds() + seconds;
    double lastWrite = nowSeconds();
    while (done < data.size() && nowSeconds() < deadline &&
           nowSeconds() - lastWrite < stallSeconds) {
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

// Reads until `want` bytes came, or nothing came for `quietSeconds`, or the
// overall bound ran out.
std::vector<uint8_t> readUpTo(int fd, size_t want, double seconds, double quietSeconds = 1e9) {
    std::vector<uint8_t> got;
    const double deadline = nowSeconds() + seconds;
    double lastByte = nowSeconds();
    while (got.size() < want && nowSeconds() < deadline &&
           nowSeconds() - lastByte < quietSeconds) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 50);
        uint8_t buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            got.insert(got.end(), buf, buf + n);
            lastByte = nowSeconds();
        }
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
// directions paced independently. Only a lower bound is asserted.
TEST(LinesimE2E, PacedLineDoesNotRunAheadOfTheWire) {
    TempDir dir;
    LinesimProcess sim;
    ASSERT_NO_FATAL_FAILURE(sim.start({"--baud", "9600"}, dir.path + "/err"));
    const int a = openEnd(sim.a), b = openEnd(sim.b);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    const std::vector<uint8_t> toB = pattern(2000, 3), toA = pattern(2000, 4);
    const double t0 = nowSeconds();
    ASSERT_EQ(writeAll(a, toB, 5), toB.size());
    ASSERT_EQ(writeAll(b, toA, 5), toA.size());
    std::vector<uint8_t> gotB, gotA;
    const double deadline = t0 + 20;
    double doneB = 0, doneA = 0;
    while ((gotB.size() < 2000 || gotA.size() < 2000) && nowSeconds() < deadline) {
        pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        poll(p, 2, 100);
        uint8_t buf[4096];
        ssize_t n;
        if ((n = read(b, buf, sizeof buf)) > 0) gotB.insert(gotB.end(), buf, buf + n);
        if ((n = read(a, buf, sizeof buf)) > 0) gotA.insert(gotA.end(), buf, buf + n);
        if (!doneB && gotB.size() >= 2000) doneB = nowSeconds() - t0;
        if (!doneA && gotA.size() >= 2000) doneA = nowSeconds() - t0;
    }
    EXPECT_EQ(gotB, toB);
    EXPECT_EQ(gotA, toA);
    EXPECT_GE(doneB, 1.5);
    EXPECT_GE(doneA, 1.5);
    std::printf("2000 bytes at 9600 baud (ideal 2.083 s): A->B %.3f s, B->A %.3f s\n", doneB,
                doneA);
    close(a);
    close(b);
    EXPECT_EQ(sim.stop(), 0);
}

// Nobody reads B: linesim must hold what it can and push back on A, then
// hand over every byte once B reads, none lost.
TEST(LinesimE2E, SlowReaderGetsBackPressureNotLoss) {
    TempDir dir;
    LinesimProcess sim;
    ASSERT_NO_FATAL_FAILURE(sim.start({}, dir.path + "/err"));
    const int a = openEnd(sim.a), b = openEnd(sim.b);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    const std::vector<uint8_t> data = pattern(3 << 20, 5);
    const size_t accepted = writeAll(a, data, 10, 0.5);
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

// A faulty A->B line, clean B->A; the same seed damages the stream the same
// way twice, and the stats file accounts for every changed byte.
TEST(LinesimE2E, SeededFaultsRepeatAndAreCounted) {
    TempDir dir;
    const std::vector<uint8_t> sent = pattern(4000, 6);
    std::vector<uint8_t> received[2];
    for (int run = 0; run < 2; ++run) {
        const std::string stats = dir.path + "/stats" + std::to_string(run);
        LinesimProcess sim;
        ASSERT_NO_FATAL_FAILURE(sim.start({"--ber", "0.002", "--drop", "0.01", "--insert",
                                           "0.01", "--seed", "77", "--direction-faults", "ab",
                                           "--stats", stats},
                                          dir.path + "/err"));
        const int a = openEnd(sim.a), b = openEnd(sim.b);
        ASSERT_GE(a, 0);
        ASSERT_GE(b, 0);
        ASSERT_EQ(writeAll(a, sent, 5), sent.size());
        received[run] = readUpTo(b, SIZE_MAX, 10, 0.5);
        ASSERT_EQ(writeAll(b, sent, 5), sent.size());
        EXPECT_EQ(readUpTo(a, sent.size(), 10), sent) << "B->A must stay clean";
        close(a);
        close(b);
        ASSERT_EQ(sim.stop(), 0);

        const auto report = parseReport(slurp(stats));
        EXPECT_EQ(number(report, "ab_bytes_read"), 4000u);
        EXPECT_EQ(number(report, "ab_bytes_delivered"), received[run].size());
        EXPECT_EQ(received[run].size(), 4000u - number(report, "ab_bytes_dropped") +
                                            number(report, "ab_bytes_inserted"));
        EXPECT_GT(number(report, "ab_bits_flipped"), 0u);
        EXPECT_GT(number(report, "ab_bytes_dropped"), 0u);
        EXPECT_EQ(number(report, "ba_bits_flipped") + number(report, "ba_bytes_dropped") +
                      number(report, "ba_bytes_inserted"),
                  0u);
        EXPECT_EQ(report, parseReport(slurp(dir.path + "/err")));
    }
    EXPECT_EQ(received[0], received[1]);
    EXPECT_NE(received[0], sent);
}
