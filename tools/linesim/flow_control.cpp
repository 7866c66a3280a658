#include "flow_control.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "line_state.h"

namespace linesim {

namespace {

// Start time of a live process as the state records it; 0 when it is gone.
uint32_t processStart(uint32_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[1024];
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return 0;
    text[n] = '\0';
    const char* p = std::strrchr(text, ')');
    if (!p || p[1] != ' ' || p[2] == 'Z' || p[2] == 'X') return 0;
    p += 2;
    for (int field = 3; field < 22 && p; ++field) {
        p = std::strchr(p, ' ');
        if (p) ++p;
    }
    if (!p) return 0;
    const uint32_t start = uint32_t(std::strtoull(p, nullptr, 10));
    return start ? start : 1;
}

// The outputs an end's owner drives, or 0 once the owner is gone.
uint32_t liveOutputs(FlowControl& flow, int end, int64_t nowNs) {
    const volatile uint32_t* e = flow.words + RL_END_A + end * RL_END_WORDS;
    const uint32_t outputs = e[RL_OUTPUTS];
    const uint32_t pid = e[RL_OWNER_PID];
    if (outputs == 0 || pid == 0) return 0;
    OwnerCheck& owner = flow.owners[end];
    const uint32_t start = e[RL_OWNER_START];
    if (owner.pid != pid || owner.start != start || nowNs - owner.checkedNs >= kOwnerCheckNs) {
        owner = {pid, start, processStart(pid) == start, nowNs};
    }
    return owner.alive ? outputs : 0;
}

}  // namespace

bool openFlowControl(FlowControl& flow, const std::string& path, std::string* error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    void* map = MAP_FAILED;
    if (fstat(fd, &st) == 0 && st.st_size >= off_t(RL_WORDS * 4)) {
        map = mmap(nullptr, RL_WORDS * 4, PROT_READ, MAP_SHARED, fd, 0);
    }
    close(fd);
    if (map == MAP_FAILED) {
        *error = path + ": not a line state (too short or not mappable)";
        return false;
    }
    const volatile uint32_t* words = static_cast<const volatile uint32_t*>(map);
    if (words[RL_MAGIC] != RIGLINES_MAGIC || words[RL_VERSION] != RIGLINES_VERSION) {
        munmap(map, RL_WORDS * 4);
        *error = path + ": not a line state of version " + std::to_string(RIGLINES_VERSION);
        return false;
    }
    flow.words = words;
    return true;
}

bool sendHeld(FlowControl& flow, int end, int64_t nowNs) {
    if (!flow.words) return false;
    // The cheap test first: no handshaking asked, nothing to look up.
    if (!(flow.words[RL_END_A + end * RL_END_WORDS + RL_OUTPUTS] & RL_RTSCTS)) return false;
    // A far end that has handshaking on itself keeps its RTS up.
    return (liveOutputs(flow, end, nowNs) & RL_RTSCTS) &&
           !(liveOutputs(flow, 1 - end, nowNs) & (RL_RTS | RL_RTSCTS));
}

}  // namespace linesim
