#include "outcome.h"

#include "../hostapi/error_report.h"

namespace transfer {

int finish(const Outcome& outcome, hostapi::HostFile& file, const char* portName) {
    file.close();
    if (outcome.format) reportError(outcome.format, outcome.name ? outcome.name : portName, int(outcome.code));
    return outcome.state == Outcome::State::Done ? 1 : 0;
}

}  // namespace transfer
