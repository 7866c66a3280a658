#include "line_control.h"

#include <cstring>

#include "serial_io.h"

namespace {

constexpr char kXon = 0x11;
constexpr char kXoff = 0x13;
// Software flow control stops the far end with 512 bytes of room left and
// lets it go on once 2048 are free again.
constexpr WORD kXoffLimit = 512;
constexpr WORD kXonLimit = 2048;

LineResult failed(LineStep step) { return {step, GetLastError()}; }

// Applies `dcb` and keeps it as the port's settings.
LineResult apply(OpenPort& port, DCB dcb) {
    if (!applyState(port.osHandle, &dcb)) return failed(LineStep::SetState);
    port.dcb = dcb;
    return {LineStep::Done, 0};
}

void setFlowFields(DCB* dcb, FlowControl flow, bool rtsRaised) {
    const bool handshake = flow == FlowControl::RtsCts;
    const bool software = flow == FlowControl::XonXoff;
    dcb->fOutxCtsFlow = handshake;
    dcb->fRtsControl = handshake ? RTS_CONTROL_HANDSHAKE : rtsRaised ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    dcb->fOutX = software;
    dcb->fInX = software;
    if (software) {
        dcb->XonChar = kXon;
        dcb->XoffChar = kXoff;
        dcb->XonLim = kXonLimit;
        dcb->XoffLim = kXoffLimit;
    }
}

}  // namespace

LineResult setLines(OpenPort& port, int dtr, int rts) {
    if (rts != -1 && port.flow == FlowControl::RtsCts) return {LineStep::RtsOwned, 0};
    if (dtr == -1 && rts == -1) return {LineStep::Done, 0};
    DCB dcb = port.dcb;
    if (dtr != -1) dcb.fDtrControl = dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if (rts != -1) dcb.fRtsControl = rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    LineResult set = apply(port, dcb);
    if (set.ok() && rts != -1) port.rtsRaised = rts != 0;
    return set;
}

LineResult modemLines(OpenPort& port, int* sum) {
    DWORD status = 0;
    if (!GetCommModemStatus(port.osHandle, &status)) return failed(LineStep::ModemStatus);
    *sum = (status & MS_CTS_ON ? 1 : 0) | (status & MS_DSR_ON ? 2 : 0) | (status & MS_RING_ON ? 4 : 0) |
           (status & MS_RLSD_ON ? 8 : 0);
    return {LineStep::Done, 0};
}

LineResult sendBreak(OpenPort& port, uint32_t ms) {
    if (!SetCommBreak(port.osHandle)) return failed(LineStep::SetBreak);
    Sleep(ms);
    if (!ClearCommBreak(port.osHandle)) return failed(LineStep::ClearBreak);
    return {LineStep::Done, 0};
}

LineResult setFlowControl(OpenPort& port, FlowControl flow) {
    DCB dcb = port.dcb;
    setFlowFields(&dcb, flow, port.rtsRaised);
    LineResult set = apply(port, dcb);
    if (set.ok()) port.flow = flow;
    return set;
}

LineResult setSpeed(OpenPort& port, uint32_t baudRate) {
    const DCB old = port.dcb;
    DCB dcb = old;
    dcb.BaudRate = baudRate;
    if (LineResult set = apply(port, dcb); !set.ok()) return set;
    COMMTIMEOUTS timeouts = portTimeouts(baudRate, port.frameBits);
    if (!SetCommTimeouts(port.osHandle, &timeouts)) {
        const LineResult result = failed(LineStep::SetTimeouts);
        apply(port, old);  // time-outs that do not fit the rate would cut reads short
        return result;
    }
    port.baudRate = baudRate;
    return {LineStep::Done, 0};
}

LineResult discardReceived(OpenPort& port) {
    if (!discardInput(port)) return failed(LineStep::Purge);
    return {LineStep::Done, 0};
}

LineResult drainOutput(OpenPort& port) {
    DWORD errors = 0;
    COMSTAT stat;
    memset(&stat, 0, sizeof stat);
    if (!ClearCommError(port.osHandle, &errors, &stat)) return failed(LineStep::QueueState);
    const COMMTIMEOUTS timeouts = portTimeouts(port.baudRate, port.frameBits);
    const DWORD limit = timeouts.WriteTotalTimeoutMultiplier * stat.cbOutQue + timeouts.WriteTotalTimeoutConstant;
    const DWORD start = GetTickCount();
    while (stat.cbOutQue > 0) {
        if (GetTickCount() - start > limit) {
            SetLastError(ERROR_TIMEOUT);
            return failed(LineStep::Drain);
        }
        Sleep(1);
        if (!ClearCommError(port.osHandle, &errors, &stat)) return failed(LineStep::QueueState);
    }
    return {LineStep::Done, 0};
}

LineResult pauseSoftwareFlow(OpenPort& port) {
    if (port.flow != FlowControl::XonXoff) return {LineStep::Done, 0};
    DCB dcb = port.dcb;
    setFlowFields(&dcb, FlowControl::None, port.rtsRaised);
    if (!applyState(port.osHandle, &dcb)) return failed(LineStep::SetState);
    return {LineStep::Done, 0};
}

LineResult resumeSoftwareFlow(OpenPort& port) {
    if (port.flow != FlowControl::XonXoff) return {LineStep::Done, 0};
    DCB dcb = port.dcb;
    if (!applyState(port.osHandle, &dcb)) return failed(LineStep::SetState);
    return {LineStep::Done, 0};
}
