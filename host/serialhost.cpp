// serialhost: a command-line host for serialport.dll. Lists ports, moves
// bytes and sends or receives files through the plug-in's exports.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "host.h"

namespace {

const char kUsage[] =
    "usage: serialhost [--dll PATH] COMMAND ...\n"
    "\n"
    "commands:\n"
    "  ports                       list the serial ports, one \"<index> <name>\" a line,\n"
    "                              then USB id, hardware id and description if known\n"
    "  open PORT [LINE] ACTION...  open PORT, run the actions in order, close it\n"
    "  send PORT FILE [LINE]       send FILE over PORT with XMODEM\n"
    "  recv PORT FILE [LINE]       receive FILE over PORT with XMODEM\n"
    "\n"
    "PORT    a port name such as COM5 (any case) or an index in the port list;\n"
    "        --usb VVVV:PPPP in its place: the first port with that USB id\n"
    "LINE    --baud N (default 0: the plug-in's 57600)  --parity none|odd|even\n"
    "        --stop 1|2\n"
    "ACTION  write TEXT | read N | avail | sleep MS | reopen | cycle N | handles\n"
    "        lines [D R] | dtr 0|1 | rts 0|1 | break MS | flow none|rtscts|xonxoff\n"
    "        speed BAUD | flush in|out|both | until TEXT MS | send FILE | recv FILE\n"
    "        (lines: the far end's lines, or with D R (each 0, 1 or -) DTR and RTS set\n"
    "        in one call; until: read until TEXT arrives or MS pass, print what came,\n"
    "        fail when TEXT did not come)\n"
    "        (reopen: close the port and open it again at once, retrying for up\n"
    "        to 2 s while the device is still held by the close; cycle N: N\n"
    "        reopens, summed up in one line on stderr; handles: the process's\n"
    "        open handles, counted by probing, and GetProcessHandleCount's answer)\n"
    "--times (open) print how long each action took, on stderr\n"
    "--check-closed  (send, recv) tell on stderr whether FILE is still\n"
    "        held open (it is opened once more without sharing)\n"
    "--mode N  (send, recv, and open's send and recv) the transfer mode: 0 XMODEM,\n"
    "        1 XMODEM-CRC, 2 XMODEM-1K, 3 YMODEM, 4 ZMODEM, 5 ZMODEM resuming a\n"
    "        send; one file (default 0)\n"
    "--trace FILE  (send, recv, open) the plug-in's trace lines of a transfer go\n"
    "        to FILE (appended). Without it they go to stdout, unless stdout is a\n"
    "        console: there one line shows the transfer's progress instead\n"
    "--dll   the plug-in to load (default: serialport.dll beside serialhost.exe)\n"
    "--version  print serialhost's version (the release's) and stop\n"
    "Options may stand anywhere; one that does nothing for the command is refused.\n"
    "\n"
    "exit status: 0 done, 1 failed, 2 bad usage\n";

enum class Verb { None, Help, Version, Ports, Open, Send, Recv };

enum class ActionKind {
    Write, Read, Avail, Sleep, Reopen, Cycle, Handles, Lines, Dtr, Rts, Break, Flow, Speed, Flush, Until, Send, Recv
};

struct Action {
    ActionKind kind;
    std::string name;      // as given: "write", "read", ...
    std::string text;      // write, until; send, recv: the file
    unsigned long number;  // read: bytes, sleep/break/until: milliseconds, cycle: reopens, speed: baud,
                           // dtr/rts: 0 or 1, flow: 0-2, flush: 1-3
    int dtr = -1, rts = -1;  // lines D R
    bool setsLines = false;
};

// "0", "1" or "-" (leave), as `lines D R` takes them.
bool parseLineLevel(const std::string& text, int* level) {
    if (text == "0" || text == "1" || text == "-") {
        *level = text == "-" ? -1 : text[0] - '0';
        return true;
    }
    return false;
}

// A word from a fixed list: its position in it.
bool parseWord(const std::string& text, std::initializer_list<const char*> words, unsigned long* index) {
    unsigned long i = 0;
    for (const char* word : words) {
        if (text == word) {
            *index = i;
            return true;
        }
        ++i;
    }
    return false;
}

struct Command {
    Verb verb = Verb::None;
    std::string dllPath;
    std::string port;
    std::string file;
    unsigned int baud = 0;
    unsigned int stopBits = 1;
    unsigned int parity = 0;
    bool times = false;
    bool checkClosed = false;
    bool portByUsbId = false;  // `port` is a USB id, VVVV:PPPP in upper case
    int mode = 0;
    std::string traceFile;  // where a transfer's trace lines go; empty: stdout
    std::vector<Action> actions;
};

// VVVV:PPPP, four hex digits each; given back in upper case.
bool parseUsbId(const std::string& text, std::string* usbId) {
    if (text.size() != 9 || text[4] != ':') return false;
    std::string upper = text;
    for (std::size_t i = 0; i < upper.size(); ++i) {
        if (i == 4) continue;
        if (!std::isxdigit(static_cast<unsigned char>(upper[i]))) return false;
        upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(upper[i])));
    }
    *usbId = upper;
    return true;
}

bool parseUnsigned(const std::string& text, unsigned long* value) {
    if (text.empty() || text.size() > 10) return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    const unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
    if (parsed > 0xFFFFFFFFull) return false;
    *value = static_cast<unsigned long>(parsed);
    return true;
}

// Options: each has a bit, and each command says which bits it takes. An
// option a command does not use is refused rather than silently ignored.
// A parser gets the option's value (empty for a flag) and gives back a
// problem text, empty when the value is good.
using OptionParser = std::string (*)(const std::string& value, Command* command);

struct OptionRule {
    const char* name;
    unsigned bit;
    bool takesValue;
    OptionParser parse;
};

enum : unsigned {
    kDll = 1u << 0,
    kLine = 1u << 1,
    kTimes = 1u << 2,
    kCheckClosed = 1u << 3,
    kUsb = 1u << 4,
    kMode = 1u << 5,
    kTrace = 1u << 6
};

std::string parseDll(const std::string& value, Command* command) {
    command->dllPath = value;
    return {};
}

std::string parseBaud(const std::string& value, Command* command) {
    unsigned long number = 0;
    if (!parseUnsigned(value, &number)) return "--baud needs a decimal rate, not \"" + value + "\"";
    command->baud = static_cast<unsigned int>(number);
    return {};
}

std::string parseParity(const std::string& value, Command* command) {
    if (value == "none") command->parity = 0;
    else if (value == "odd") command->parity = 1;
    else if (value == "even") command->parity = 2;
    else return "--parity needs none, odd or even, not \"" + value + "\"";
    return {};
}

std::string parseStop(const std::string& value, Command* command) {
    if (value != "1" && value != "2") return "--stop needs 1 or 2, not \"" + value + "\"";
    command->stopBits = value == "1" ? 1 : 2;
    return {};
}

std::string parseTimes(const std::string&, Command* command) {
    command->times = true;
    return {};
}

std::string parseCheckClosed(const std::string&, Command* command) {
    command->checkClosed = true;
    return {};
}

// The modes the plug-in serves, so that a wrong one is refused before
// anything waits or is sent.
const char kModesServed[] =
    "0 XMODEM, 1 XMODEM-CRC, 2 XMODEM-1K, 3 YMODEM, 4 ZMODEM, 5 ZMODEM resuming a send";
constexpr unsigned long kLastMode = 5;

std::string parseMode(const std::string& value, Command* command) {
    unsigned long number = 0;
    if (!parseUnsigned(value, &number) || number > kLastMode)
        return "--mode " + value + " is not a transfer mode; the plug-in serves " + kModesServed;
    command->mode = static_cast<int>(number);
    return {};
}

std::string parseTrace(const std::string& value, Command* command) {
    if (value.empty()) return "--trace needs a FILE";
    command->traceFile = value;
    return {};
}

// Stands in place of PORT.
std::string parseUsb(const std::string& value, Command* command) {
    if (command->portByUsbId) return "--usb given twice";
    if (!parseUsbId(value, &command->port)) return "--usb needs a USB id VVVV:PPPP (hex), not \"" + value + "\"";
    command->portByUsbId = true;
    return {};
}

const OptionRule kOptions[] = {
    {"--dll", kDll, true, parseDll},
    {"--baud", kLine, true, parseBaud},
    {"--parity", kLine, true, parseParity},
    {"--stop", kLine, true, parseStop},
    {"--times", kTimes, false, parseTimes},
    {"--check-closed", kCheckClosed, false, parseCheckClosed},
    {"--usb", kUsb, true, parseUsb},
    {"--mode", kMode, true, parseMode},
    {"--trace", kTrace, true, parseTrace},
};

struct VerbRule {
    const char* name;
    Verb verb;
    unsigned options;          // the option bits it takes
    std::size_t operands;      // PORT, FILE
    const char* missing;       // what to say when operands are missing
};

const VerbRule kVerbs[] = {
    {"ports", Verb::Ports, kDll, 0, ""},
    {"open", Verb::Open, kDll | kUsb | kLine | kTimes | kMode | kTrace, 1, "open needs a PORT"},
    {"send", Verb::Send, kDll | kUsb | kLine | kCheckClosed | kMode | kTrace, 2, "send needs a PORT and a FILE"},
    {"recv", Verb::Recv, kDll | kUsb | kLine | kCheckClosed | kMode | kTrace, 2, "recv needs a PORT and a FILE"},
};

const OptionRule* findOption(const std::string& name) {
    for (const OptionRule& option : kOptions)
        if (name == option.name) return &option;
    return nullptr;
}

const VerbRule* findVerb(Verb verb) {
    for (const VerbRule& rule : kVerbs)
        if (rule.verb == verb) return &rule;
    return nullptr;
}

// Options may stand anywhere; an action's own argument is taken as it is,
// so "write --baud" writes the text "--baud".
bool parseCommand(int argc, char** argv, Command* command, std::string* problem) {
    auto fail = [problem](const std::string& text) {
        *problem = text;
        return false;
    };
    std::vector<std::string> operands;
    std::vector<const OptionRule*> given;
    int i = 1;
    while (i < argc) {
        const std::string arg = argv[i++];
        if (arg == "-h" || arg == "--help") {
            command->verb = Verb::Help;
            return true;
        }
        if (arg == "--version") {
            command->verb = Verb::Version;
            return true;
        }
        if (const OptionRule* option = findOption(arg)) {
            std::string value;
            if (option->takesValue) {
                if (i >= argc) return fail(arg + " needs a value");
                value = argv[i++];
            }
            const std::string wrong = option->parse(value, command);
            if (!wrong.empty()) return fail(wrong);
            given.push_back(option);
        } else if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            return fail("unknown option " + arg);
        } else if (command->verb == Verb::None) {
            if (arg == "help") {
                command->verb = Verb::Help;
                return true;
            }
            for (const VerbRule& rule : kVerbs)
                if (arg == rule.name) command->verb = rule.verb;
            if (command->verb == Verb::None) return fail("unknown command \"" + arg + "\"");
        } else if (command->verb == Verb::Open && (!operands.empty() || command->portByUsbId)) {
            Action action{ActionKind::Avail, arg, {}, 0};
            if (arg == "write") {
                if (i >= argc) return fail("write needs a text");
                action.kind = ActionKind::Write;
                action.text = argv[i++];
            } else if (arg == "read" || arg == "sleep" || arg == "cycle") {
                action.kind = arg == "read" ? ActionKind::Read : arg == "sleep" ? ActionKind::Sleep : ActionKind::Cycle;
                if (i >= argc || !parseUnsigned(argv[i], &action.number))
                    return fail(arg + " needs a decimal number");
                action.name += ' ';
                action.name += argv[i++];
            } else if (arg == "break" || arg == "speed") {
                action.kind = arg == "break" ? ActionKind::Break : ActionKind::Speed;
                if (i >= argc || !parseUnsigned(argv[i], &action.number))
                    return fail(arg + " needs a decimal number");
                action.name += ' ';
                action.name += argv[i++];
            } else if (arg == "dtr" || arg == "rts") {
                action.kind = arg == "dtr" ? ActionKind::Dtr : ActionKind::Rts;
                if (i >= argc || !parseWord(argv[i], {"0", "1"}, &action.number)) return fail(arg + " needs 0 or 1");
                action.name += ' ';
                action.name += argv[i++];
            } else if (arg == "lines") {
                action.kind = ActionKind::Lines;
                if (i + 1 < argc && parseLineLevel(argv[i], &action.dtr) && parseLineLevel(argv[i + 1], &action.rts)) {
                    action.setsLines = true;
                    action.name = arg + ' ' + argv[i] + ' ' + argv[i + 1];
                    i += 2;
                }
            } else if (arg == "flow") {
                action.kind = ActionKind::Flow;
                if (i >= argc || !parseWord(argv[i], {"none", "rtscts", "xonxoff"}, &action.number))
                    return fail("flow needs none, rtscts or xonxoff");
                action.name += ' ';
                action.name += argv[i++];
            } else if (arg == "flush") {
                action.kind = ActionKind::Flush;
                if (i >= argc || !parseWord(argv[i], {"in", "out", "both"}, &action.number))
                    return fail("flush needs in, out or both");
                ++action.number;  // 1 in, 2 out, 3 both, as the export counts them
                action.name += ' ';
                action.name += argv[i++];
            } else if (arg == "until") {
                action.kind = ActionKind::Until;
                if (i + 1 >= argc || !parseUnsigned(argv[i + 1], &action.number))
                    return fail("until needs a TEXT and a time in ms");
                action.text = argv[i];
                action.name += " " + action.text;
                i += 2;
            } else if (arg == "send" || arg == "recv") {
                action.kind = arg == "send" ? ActionKind::Send : ActionKind::Recv;
                if (i >= argc) return fail(arg + " needs a FILE");
                action.text = argv[i++];
                action.name += " " + action.text;
            } else if (arg == "avail") {
                action.kind = ActionKind::Avail;
            } else if (arg == "reopen") {
                action.kind = ActionKind::Reopen;
            } else if (arg == "handles") {
                action.kind = ActionKind::Handles;
            } else {
                return fail("unknown action \"" + arg + "\"");
            }
            command->actions.push_back(action);
        } else {
            operands.push_back(arg);
        }
    }

    const VerbRule* rule = findVerb(command->verb);
    if (!rule) return fail("no command given");
    for (const OptionRule* option : given)
        if (!(rule->options & option->bit))
            return fail(std::string(option->name) + " does nothing for " + rule->name);
    // --usb takes PORT's place.
    if (command->portByUsbId) operands.insert(operands.begin(), command->port);
    if (operands.size() < rule->operands) return fail(rule->missing);
    if (operands.size() > rule->operands) return fail("unexpected argument \"" + operands[rule->operands] + "\"");
    if (rule->operands >= 1) command->port = operands[0];
    if (rule->operands >= 2) command->file = operands[1];
    return true;
}

std::string defaultDllPath() {
    std::vector<char> path(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return "serialport.dll";
        if (length < path.size()) {
            std::string exe(path.data(), length);
            const std::size_t slash = exe.find_last_of("\\/");
            return slash == std::string::npos ? "serialport.dll" : exe.substr(0, slash + 1) + "serialport.dll";
        }
        if (path.size() >= 32768) return "serialport.dll";
        path.resize(path.size() * 2);
    }
}

// A COM name is looked up in the list the plug-in builds; digits are taken
// as a port-list index.
bool resolvePort(const PluginApi& api, const std::string& port, unsigned int* index) {
    const int count = api.EnumerateSerialPorts();
    unsigned long number = 0;
    if (parseUnsigned(port, &number)) {
        if (count > 0 && number < static_cast<unsigned long>(count)) {
            *index = static_cast<unsigned int>(number);
            return true;
        }
        std::fprintf(stderr, "serialhost: port index %lu is not in the port list (%d listed)\n", number,
                     count > 0 ? count : 0);
        return false;
    }
    std::string listed;
    for (int i = 0; i < count; ++i) {
        const char* name = api.GetSerialPortName(static_cast<unsigned int>(i));
        if (lstrcmpiA(name, port.c_str()) == 0) {
            *index = static_cast<unsigned int>(i);
            hostFreeStrings();
            return true;
        }
        listed += ' ';
        listed += name;
    }
    hostFreeStrings();
    std::fprintf(stderr, "serialhost: no serial port named %s (listed:%s)\n", port.c_str(),
                 listed.empty() ? " none" : listed.c_str());
    return false;
}

// The first listed port whose USB id is `usbId` (upper case).
bool resolveUsbPort(const PluginApi& api, const std::string& usbId, unsigned int* index) {
    const int count = api.EnumerateSerialPorts();
    std::string listed;
    for (int i = 0; i < count; ++i) {
        const std::string id = api.GetSerialPortUsbId(static_cast<unsigned int>(i));
        if (id == usbId) {
            *index = static_cast<unsigned int>(i);
            hostFreeStrings();
            return true;
        }
        listed += ' ';
        listed += api.GetSerialPortName(static_cast<unsigned int>(i));
        if (!id.empty()) listed += " (" + id + ")";
    }
    hostFreeStrings();
    std::fprintf(stderr, "serialhost: no serial port with USB id %s (listed:%s)\n", usbId.c_str(),
                 listed.empty() ? " none" : listed.c_str());
    return false;
}

// Port handle of the opened port, or 0 (then already reported).
unsigned int openPort(const PluginApi& api, const Command& command) {
    unsigned int index = 0;
    const bool found = command.portByUsbId ? resolveUsbPort(api, command.port, &index)
                                           : resolvePort(api, command.port, &index);
    if (!found) return 0;
    const int handle = api.OpenSerialPort(index, command.baud, command.stopBits, command.parity);
    if (handle <= 0) {
        std::fprintf(stderr, "serialhost: cannot open %s\n", command.port.c_str());
        return 0;
    }
    return static_cast<unsigned int>(handle);
}

int runPorts(const PluginApi& api) {
    const int count = api.EnumerateSerialPorts();
    if (count <= 0) {
        std::fprintf(stderr, "no serial ports listed\n");
        return 0;
    }
    // What the device registry knows of a port follows its name: USB id and
    // hardware id ("-" when unknown), then the description, which may hold
    // spaces, last.
    for (int i = 0; i < count; ++i) {
        const unsigned int index = static_cast<unsigned int>(i);
        std::string line = std::to_string(i) + " " + api.GetSerialPortName(index);
        const std::string usbId = api.GetSerialPortUsbId(index);
        const std::string hardwareId = api.GetSerialPortHardwareId(index);
        const std::string description = api.GetSerialPortDescription(index);
        hostFreeStrings();
        if (!usbId.empty() || !hardwareId.empty() || !description.empty()) {
            line += "  " + (usbId.empty() ? "-" : usbId) + "  " + (hardwareId.empty() ? "-" : hardwareId);
            if (!description.empty()) line += "  " + description;
        }
        std::printf("%s\n", line.c_str());
    }
    return 0;
}

// Closes `port` and opens the same device again, retrying while the close
// thread may still hold it. Gives the delay and the failed attempts.
bool closeAndOpenAgain(const PluginApi& api, const Command& command, unsigned int* port, double* seconds,
                          int* failures) {
    api.CloseSerialPort(*port);
    const double start = hostSeconds();
    *failures = 0;
    for (;;) {
        const unsigned int again = openPort(api, command);
        *seconds = hostSeconds() - start;
        if (again != 0) {
            *port = again;
            return true;
        }
        ++*failures;
        if (*seconds > 2.0) return false;
        Sleep(1);
    }
}

// Reports the delay on stderr.
bool reopenPort(const PluginApi& api, const Command& command, unsigned int* port) {
    double seconds = 0.0;
    int failures = 0;
    if (!closeAndOpenAgain(api, command, port, &seconds, &failures)) return false;
    std::fprintf(stderr, "serialhost: reopened after %.1f ms, %d failed attempts\n", seconds * 1000.0, failures);
    return true;
}

// `count` reopens in a row, summed up in one line on stderr: how many came
// back at the first attempt, and the longest wait for the device.
bool cyclePort(const PluginApi& api, const Command& command, unsigned int* port, unsigned long count) {
    unsigned long delayed = 0, failedAttempts = 0;
    double longest = 0.0;
    for (unsigned long i = 0; i < count; ++i) {
        double seconds = 0.0;
        int failures = 0;
        const bool ok = closeAndOpenAgain(api, command, port, &seconds, &failures);
        if (failures > 0) ++delayed;
        failedAttempts += static_cast<unsigned long>(failures);
        if (seconds > longest) longest = seconds;
        if (!ok) {
            std::fprintf(stderr, "serialhost: cycle %lu: the port did not open again within 2 s\n", i + 1);
            return false;
        }
    }
    std::fprintf(stderr,
                 "serialhost: %lu cycles, %lu reopens failed at the first attempt (%lu failed attempts), "
                 "longest reopen %.1f ms\n",
                 count, delayed, failedAttempts, longest * 1000.0);
    return true;
}

int transferFile(const PluginApi& api, const Command& command, unsigned int port, const std::string& file,
                 bool sending);
bool sendable(const std::string& file);

// A call that gives 1 on success.
bool lineCall(int result, const Action& action) {
    if (result == 1) return true;
    std::fprintf(stderr, "serialhost: %s failed\n", action.name.c_str());
    return false;
}

// "lines 9 CTS DCD": the sum, then the names of the lines that are up.
bool printLines(int sum) {
    if (sum < 0) {
        std::fprintf(stderr, "serialhost: lines failed\n");
        return false;
    }
    std::string names;
    const char* const kNames[] = {"CTS", "DSR", "RI", "DCD"};
    for (int bit = 0; bit < 4; ++bit)
        if (sum & (1 << bit)) names += std::string(" ") + kNames[bit];
    std::printf("lines %d%s\n", sum, names.c_str());
    std::fflush(stdout);
    return true;
}

// Returns false when the action failed.
bool runAction(const PluginApi& api, const Command& command, unsigned int* portInOut, const Action& action) {
    const unsigned int port = *portInOut;
    switch (action.kind) {
        case ActionKind::Reopen:
            return reopenPort(api, command, portInOut);
        case ActionKind::Cycle:
            return cyclePort(api, command, portInOut, action.number);
        case ActionKind::Handles: {
            DWORD counted = 0;
            if (!GetProcessHandleCount(GetCurrentProcess(), &counted)) counted = 0;
            std::printf("handles %lu (GetProcessHandleCount %lu)\n", hostHandleCount(),
                        static_cast<unsigned long>(counted));
            std::fflush(stdout);  // a watcher may be waiting for the line
            return true;
        }
        case ActionKind::Write: {
            std::vector<char> text(action.text.begin(), action.text.end());
            text.push_back('\0');
            if (api.WriteSerialData(port, text.data(), -1) != 1) {
                std::fprintf(stderr, "serialhost: write failed\n");
                return false;
            }
            return true;
        }
        case ActionKind::Read:
            std::printf("%s\n", api.ReadSerialData(port, static_cast<unsigned int>(action.number)));
            hostFreeStrings();
            return true;
        case ActionKind::Avail:
            std::printf("%d\n", api.GetSerialBytesAvailable(port));
            return true;
        case ActionKind::Sleep:
            Sleep(static_cast<DWORD>(action.number));
            return true;
        case ActionKind::Lines:
            if (action.setsLines) return lineCall(api.SetSerialLines(port, action.dtr, action.rts), action);
            return printLines(api.GetSerialLines(port));
        case ActionKind::Dtr:
            return lineCall(api.SetSerialLines(port, int(action.number), -1), action);
        case ActionKind::Rts:
            return lineCall(api.SetSerialLines(port, -1, int(action.number)), action);
        case ActionKind::Break:
            return lineCall(api.SendSerialBreak(port, static_cast<unsigned int>(action.number)), action);
        case ActionKind::Flow:
            return lineCall(api.SetSerialFlowControl(port, int(action.number)), action);
        case ActionKind::Speed:
            return lineCall(api.SetSerialSpeed(port, static_cast<unsigned int>(action.number)), action);
        case ActionKind::Flush:
            return lineCall(api.FlushSerialPort(port, int(action.number)), action);
        case ActionKind::Send:
            return sendable(action.text) && transferFile(api, command, port, action.text, true) == 1;
        case ActionKind::Recv:
            return transferFile(api, command, port, action.text, false) == 1;
        case ActionKind::Until: {
            std::vector<char> text(action.text.begin(), action.text.end());
            text.push_back('\0');
            const std::string got = api.ReadSerialUntil(port, text.data(), static_cast<unsigned int>(action.number));
            hostFreeStrings();
            std::printf("%s\n", got.c_str());
            std::fflush(stdout);  // a peer may be waiting for the script's next step
            const bool arrived = got.size() >= action.text.size() &&
                                 got.compare(got.size() - action.text.size(), action.text.size(), action.text) == 0;
            if (!arrived) std::fprintf(stderr, "serialhost: %s: not seen within %lu ms\n", action.text.c_str(), action.number);
            return arrived;
        }
    }
    return false;
}

int runOpen(const PluginApi& api, const Command& command) {
    unsigned int port = openPort(api, command);
    if (port == 0) return 1;
    int status = 0;
    for (const Action& action : command.actions) {
        const double start = hostSeconds();
        const bool ok = runAction(api, command, &port, action);
        if (command.times) {
            std::fflush(stdout);
            std::fprintf(stderr, "serialhost: %s took %.1f ms\n", action.name.c_str(),
                         (hostSeconds() - start) * 1000.0);
        }
        if (!ok) {
            status = 1;
            break;
        }
    }
    api.CloseSerialPort(port);
    return status;
}

std::string fileSizeText(const std::string& name) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(name.c_str(), GetFileExInfoStandard, &data)) return "0";
    const unsigned long long size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return std::to_string(size);
}

// A file the host still holds cannot be opened without sharing.
void tellIfStillOpen(const std::string& name) {
    HANDLE file = CreateFileA(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        std::fprintf(stderr, "serialhost: %s is closed\n", name.c_str());
        return;
    }
    const DWORD code = GetLastError();
    if (code == ERROR_SHARING_VIOLATION)
        std::fprintf(stderr, "serialhost: %s is still open\n", name.c_str());
    else
        std::fprintf(stderr, "serialhost: %s cannot be checked: %lu\n", name.c_str(), code);
}

double processCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0.0;
    auto ticks = [](const FILETIME& t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;  // 100 ns units
}

// A silent sender is asked 11 times, every 10 s, before the receive gives up;
// in modes 1 to 3 after 6 s of asking with C.
const int kLongestSenderWaitSeconds = 110;
const int kCrcAskSeconds = 6;

// While a transfer runs, the C runtime's stdout (which the plug-in shares)
// leads into a pipe: its trace lines go on to where they belong (the --trace
// file, else stdout, unless stdout is a console, where the progress line
// stands instead), and the last one is kept as the reason of a failure.
class TraceTap {
public:
    bool start(const std::string& traceFile) {
        std::fflush(stdout);
        if (!traceFile.empty()) {
            destination_ = _open(traceFile.c_str(), _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY, _S_IREAD | _S_IWRITE);
            if (destination_ < 0) {
                std::fprintf(stderr, "serialhost: cannot write the trace to %s\n", traceFile.c_str());
                return false;
            }
        } else if (!_isatty(_fileno(stdout))) {
            destination_ = _dup(_fileno(stdout));
        }
        HANDLE readEnd = nullptr, writeEnd = nullptr;
        savedStdout_ = _dup(_fileno(stdout));
        if (savedStdout_ < 0 || !CreatePipe(&readEnd, &writeEnd, nullptr, 0)) return false;
        const int writeFd = _open_osfhandle(reinterpret_cast<intptr_t>(writeEnd), _O_WRONLY | _O_BINARY);
        _dup2(writeFd, _fileno(stdout));
        _close(writeFd);
        _setmode(_fileno(stdout), _O_BINARY);
        readEnd_ = readEnd;
        thread_ = CreateThread(nullptr, 0, forward, this, 0, nullptr);
        return thread_ != nullptr;
    }

    // Puts stdout back; gives the last trace line.
    std::string stop() {
        std::fflush(stdout);
        if (savedStdout_ >= 0) {
            _dup2(savedStdout_, _fileno(stdout));  // the pipe's last writer goes: the thread sees its end
            _close(savedStdout_);
        }
        if (thread_) {
            WaitForSingleObject(thread_, INFINITE);
            CloseHandle(thread_);
        }
        if (readEnd_) CloseHandle(readEnd_);
        if (destination_ >= 0) _close(destination_);
        return lastLine_;
    }

private:
    static DWORD WINAPI forward(void* self) {
        TraceTap& tap = *static_cast<TraceTap*>(self);
        char chunk[4096];
        DWORD got = 0;
        while (ReadFile(tap.readEnd_, chunk, sizeof chunk, &got, nullptr) && got > 0) {
            if (tap.destination_ >= 0) _write(tap.destination_, chunk, got);
            for (DWORD i = 0; i < got; ++i) {
                if (chunk[i] == '\n') {
                    if (!tap.partial_.empty()) tap.lastLine_ = tap.partial_;
                    tap.partial_.clear();
                } else if (tap.partial_.size() < 200) {
                    tap.partial_ += chunk[i];
                }
            }
        }
        return 0;
    }

    int savedStdout_ = -1;
    int destination_ = -1;
    HANDLE readEnd_ = nullptr;
    HANDLE thread_ = nullptr;
    std::string partial_, lastLine_;
};

// One line on the console, rewritten four times a second: bytes so far,
// the rate, and the time left where the size is known.
class ProgressLine {
public:
    ProgressLine(bool sending, unsigned long long total) : sending_(sending), total_(total) {
        if (!_isatty(_fileno(stderr))) return;
        base_ = moved();
        start_ = hostSeconds();
        stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (stop_) thread_ = CreateThread(nullptr, 0, run, this, 0, nullptr);
    }
    ~ProgressLine() {
        if (!thread_) return;
        SetEvent(stop_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        CloseHandle(stop_);
        std::fprintf(stderr, "\r%*s\r", 79, "");
    }

private:
    unsigned long long moved() const { return sending_ ? hostBytesRead() : hostBytesWritten(); }

    static DWORD WINAPI run(void* self) {
        ProgressLine& line = *static_cast<ProgressLine*>(self);
        while (WaitForSingleObject(line.stop_, 250) == WAIT_TIMEOUT) line.draw();
        return 0;
    }

    void draw() const {
        const unsigned long long bytes = moved() - base_;
        const double seconds = hostSeconds() - start_;
        const double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0.0;
        char text[120];
        int length = std::snprintf(text, sizeof text, "\r%s %llu", sending_ ? "sending" : "receiving", bytes);
        if (total_ > 0) length += std::snprintf(text + length, sizeof text - length, " of %llu", total_);
        length += std::snprintf(text + length, sizeof text - length, " bytes, %.1f KB/s", rate / 1024.0);
        if (total_ > 0 && rate > 0 && bytes < total_) {
            const unsigned long left = static_cast<unsigned long>(static_cast<double>(total_ - bytes) / rate + 0.5);
            length += std::snprintf(text + length, sizeof text - length, ", %lu:%02lu left", left / 60, left % 60);
        }
        std::fprintf(stderr, "%-79s", text);
    }

    bool sending_;
    unsigned long long total_;
    unsigned long long base_ = 0;
    double start_ = 0;
    HANDLE stop_ = nullptr;
    HANDLE thread_ = nullptr;
};

// Sends or receives `file` over the open `port` in the command's mode, and
// sums it up on stderr: on success the file's size and rate; on failure the
// bytes that moved (no rate when none did) and the reason the plug-in gave.
int transferFile(const PluginApi& api, const Command& command, unsigned int port, const std::string& file,
                 bool sending) {
    if (!sending) {
        std::fprintf(stderr, "serialhost: waiting for a sender on %s, at most %d s until it starts\n",
                     command.port.c_str(),
                     kLongestSenderWaitSeconds + (command.mode >= 1 && command.mode <= 3 ? kCrcAskSeconds : 0));
        std::fflush(stderr);
    }
    std::vector<char> fileName(file.begin(), file.end());
    fileName.push_back('\0');
    const unsigned long long movedBefore = sending ? hostBytesRead() : hostBytesWritten();
    const std::size_t errorsBefore = hostErrors().size();
    TraceTap tap;
    if (!tap.start(command.traceFile)) {
        tap.stop();
        return 0;
    }
    const double start = hostSeconds();
    int result = 0;
    {
        ProgressLine progress(sending, sending ? std::strtoull(fileSizeText(file).c_str(), nullptr, 10) : 0);
        result = sending ? api.SendSerialFile(port, fileName.data(), command.mode)
                         : api.ReceiveSerialFile(port, fileName.data(), command.mode);
    }
    const double seconds = hostSeconds() - start;
    const std::string lastTrace = tap.stop();
    const unsigned long long moved = (sending ? hostBytesRead() : hostBytesWritten()) - movedBefore;

    std::fflush(stdout);
    if (result == 1) {
        const std::string size = fileSizeText(file);
        const double rate = seconds > 0.0 ? std::strtod(size.c_str(), nullptr) / seconds : 0.0;
        std::fprintf(stderr, "%s %s: %s bytes in %.3f s (%.0f bytes/s), cpu %.3f s\n", sending ? "sent" : "received",
                     file.c_str(), size.c_str(), seconds, rate, processCpuSeconds());
    } else {
        const std::string reason = hostErrors().size() > errorsBefore ? hostErrors().back()
                                   : !lastTrace.empty()               ? lastTrace
                                                                      : "no reason given";
        char rate[48] = "";
        if (moved > 0 && seconds > 0.0)
            std::snprintf(rate, sizeof rate, " (%.0f bytes/s)", static_cast<double>(moved) / seconds);
        std::fprintf(stderr, "%s %s: %llu bytes in %.3f s%s, cpu %.3f s: %s\n", sending ? "send failed" : "receive failed",
                     file.c_str(), moved, seconds, rate, processCpuSeconds(), reason.c_str());
    }
    if (command.checkClosed) tellIfStillOpen(file);
    return result;
}

// A file to send must be there, and a file.
bool sendable(const std::string& file) {
    const DWORD attributes = GetFileAttributesA(file.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
    std::fprintf(stderr, "serialhost: %s: %s, nothing sent\n", file.c_str(),
                 attributes == INVALID_FILE_ATTRIBUTES ? "no such file" : "a folder, not a file");
    return false;
}

int runTransfer(const PluginApi& api, const Command& command) {
    const bool sending = command.verb == Verb::Send;
    if (sending && !sendable(command.file)) return 1;
    const unsigned int port = openPort(api, command);
    if (port == 0) return 1;
    const int result = transferFile(api, command, port, command.file, sending);
    api.CloseSerialPort(port);
    return result == 1 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // Bytes read from the line are printed as they came, and lines end in a
    // bare \n, which is what the scripts reading this output on Linux expect.
    // The plug-in shares this C runtime, so its trace lines follow suit.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);

    Command command;
    std::string problem;
    if (!parseCommand(argc, argv, &command, &problem)) {
        std::fprintf(stderr, "serialhost: %s; see --help\n", problem.c_str());
        return 2;
    }
    if (command.verb == Verb::Help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command.verb == Verb::Version) {
        std::printf("serialhost %s\n", SERIALPORT_VERSION);
        return 0;
    }

    const std::string dllPath = command.dllPath.empty() ? defaultDllPath() : command.dllPath;
    PluginApi api{};
    std::string error;
    if (!hostLoad(dllPath.c_str(), &api, &error)) {
        std::fprintf(stderr, "serialhost: %s\n", error.c_str());
        return 1;
    }

    int status = 1;
    switch (command.verb) {
        case Verb::Ports: status = runPorts(api); break;
        case Verb::Open: status = runOpen(api, command); break;
        case Verb::Send:
        case Verb::Recv: status = runTransfer(api, command); break;
        case Verb::None:
        case Verb::Help:
        case Verb::Version: break;
    }
    std::fflush(stdout);
    return status;
}
