// Error reports: a message formatted into a fresh heap buffer, handed to the
// host's PLUGINERROR_0_S, then freed.
#pragma once

#include <windows.h>

#include <cstddef>

// `format` has one "%s" for `name` and, when it ends in ": %d", one "%d" for
// `code`. The buffer is sized by what the message formats to. A missing
// PLUGINERROR_0_S, or no memory for the buffer, drops the report.
void reportError(const char* format, const char* name, int code = 0);

// The last-error value of the call that just failed, as a report prints it.
inline int lastErrorCode() { return static_cast<int>(GetLastError()); }

// Messages, exactly as a host shows them.
#define MSG_PORT_NOT_FOUND "Serial port \"%s\" not found"
#define MSG_OPEN_FAILED "Error opening serial port \"%s\": %d"
#define MSG_GET_STATE_FAILED "Error getting serial port \"%s\" parameters: %d"
#define MSG_SET_STATE_FAILED "Error setting serial port \"%s\" parameters: %d"
#define MSG_SET_TIMEOUTS_FAILED "Error setting serial port \"%s\" timeouts: %d"
#define MSG_AVAILABLE_FAILED "Error getting serial port \"%s\" bytes available: %d"
#define MSG_READ_FAILED "Failed to read bytes from serial port \"%s\": %d"
#define MSG_WRITE_FAILED "Failed to write bytes to serial port \"%s\": %d"
#define MSG_SET_LINES_FAILED "Error setting serial port \"%s\" lines: %d"
#define MSG_RTS_OWNED "Serial port \"%s\" RTS is driven by RTS/CTS flow control"
#define MSG_GET_LINES_FAILED "Error getting serial port \"%s\" lines: %d"
#define MSG_BREAK_FAILED "Error sending break on serial port \"%s\": %d"
#define MSG_SET_FLOW_FAILED "Error setting serial port \"%s\" flow control: %d"
#define MSG_SET_SPEED_FAILED "Error setting serial port \"%s\" speed: %d"
#define MSG_FLUSH_FAILED "Error flushing serial port \"%s\": %d"
#define MSG_RECV_OPEN_FILE "Failed to open file \"%s\""
#define MSG_RECV_START_FAILED "Failed to start XMODEM transfer on serial port \"%s\": %d"
#define MSG_RECV_HEADER_FAILED "Failed to read XMODEM header on serial port \"%s\": %d"
#define MSG_RECV_BYTES_FAILED "Failed to read XMODEM bytes on serial port \"%s\": %d"
#define MSG_RECV_ACK_FAILED "Failed to send XMODEM ACK on serial port \"%s\": %d"
#define MSG_RECV_NAK_FAILED "Failed to send XMODEM NAK on serial port \"%s\": %d"
#define MSG_SEND_OPEN_FILE "Failed to open file \"%s\" for reading"
#define MSG_SEND_PACKET_FAILED "Failed to send XMODEM packet on serial port \"%s\": %d"
#define MSG_SEND_EOT_FAILED "Failed to send XMODEM EOT on serial port \"%s\": %d"
#define MSG_ZMODEM_HEADER_FAILED "Failed to send ZMODEM header on serial port \"%s\": %d"
#define MSG_ZMODEM_DATA_FAILED "Failed to send ZMODEM data on serial port \"%s\": %d"
