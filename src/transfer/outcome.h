// How a step of a transfer ended, as a value: go on, done, or given up, and
// for a call that failed, the one error report the transfer makes. The
// transfer's entry makes that report, in one place, once its host file is
// closed.
#pragma once

#include <windows.h>

#include "../hostapi/host_file.h"

namespace transfer {

struct Outcome {
    enum class State { Going, Done, GaveUp };
    State state = State::Going;
    const char* format = nullptr;  // an error report's format, when a call failed
    DWORD code = 0;                // the failed call's system error code
    const char* name = nullptr;    // quoted in the report; null: the port's name

    static Outcome going() { return {}; }
    static Outcome done() { return {State::Done}; }
    // Given up: a trace line has said why, and no report is made.
    static Outcome gaveUp() { return {State::GaveUp}; }
    static Outcome failed(const char* format, DWORD code, const char* name = nullptr) {
        return {State::GaveUp, format, code, name};
    }

    bool ended() const { return state != State::Going; }
};

// The transfer's result: the file closed first, then the report, if any.
int finish(const Outcome& outcome, hostapi::HostFile& file, const char* portName);

}  // namespace transfer
