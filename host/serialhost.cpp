// serialhost: a command-line host for serialport.dll. Lists ports, moves
// bytes and sends or receives files through the plug-in's exports.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
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
    "        (reopen: close the port and open it again at once, retrying for up\n"
    "        to 2 s while the device is still held by the close; cycle N: N\n"
    "        reopens, summed up in one line on stderr; handles: the process's\n"
    "        open handles, counted by probing, and GetProcessHandleCount's answer)\n"
    "--times (open) print how long each action took, on stderr\n"
    "--check-closed  (send, recv) tell on stderr whether FILE is still\n"
    "        held open (it is opened once more without sharing)\n"
    "--mode N  (send, recv) the transfer mode: 0 XMODEM, 1 XMODEM-CRC,\n"
    "        2 XMODEM-1K, 3 YMODEM, 4 ZMODEM, 5 ZMODEM resuming a send,\n"
    "        one file (default 0)\n"
    "--dll   the plug-in to load (default: serialport.dll beside serialhost.exe)\n"
    "--version  print serialhost's version (the release's) and stop\n"
    "Options may stand anywhere; one that does nothing for the command is refused.\n"
    "\n"
    "exit status: 0 done, 1 failed, 2 bad usage\n";

enum class Verb { None, Help, Version, Ports, Open, Send, Recv };

enum class ActionKind { Write, Read, Avail, Sleep, Reopen, Cycle, Handles };

struct Action {
    ActionKind kind;
    std::string name;      // as given: "write", "read", ...
    std::string text;      // write
    unsigned long number;  // read: bytes, sleep: milliseconds, cycle: reopens
};

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
    std::vector<Action> actions;
};

// VVVV:PPPP, four hex digits each; given back in upper case.
bool parse_usb_id(const std::string& text, std::string* usbId) {
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

bool parse_unsigned(const std::string& text, unsigned long* value) {
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
    kMode = 1u << 5
};

std::string parse_dll(const std::string& value, Command* command) {
    command->dllPath = value;
    return {};
}

std::string parse_baud(const std::string& value, Command* command) {
    unsigned long number = 0;
    if (!parse_unsigned(value, &number)) return "--baud needs a decimal rate, not \"" + value + "\"";
    command->baud = static_cast<unsigned int>(number);
    return {};
}

std::string parse_parity(const std::string& value, Command* command) {
    if (value == "none") command->parity = 0;
    else if (value == "odd") command->parity = 1;
    else if (value == "even") command->parity = 2;
    else return "--parity needs none, odd or even, not \"" + value + "\"";
    return {};
}

std::string parse_stop(const std::string& value, Command* command) {
    if (value != "1" && value != "2") return "--stop needs 1 or 2, not \"" + value + "\"";
    command->stopBits = value == "1" ? 1 : 2;
    return {};
}

std::string parse_times(const std::string&, Command* command) {
    command->times = true;
    return {};
}

std::string parse_check_closed(const std::string&, Command* command) {
    command->checkClosed = true;
    return {};
}

// Any number the export takes: the plug-in, not this tool, decides which
// modes it serves.
std::string parse_mode(const std::string& value, Command* command) {
    unsigned long number = 0;
    if (!parse_unsigned(value, &number) || number > 0x7FFFFFFFul)
        return "--mode needs a decimal number, not \"" + value + "\"";
    command->mode = static_cast<int>(number);
    return {};
}

// Stands in place of PORT.
std::string parse_usb(const std::string& value, Command* command) {
    if (command->portByUsbId) return "--usb given twice";
    if (!parse_usb_id(value, &command->port)) return "--usb needs a USB id VVVV:PPPP (hex), not \"" + value + "\"";
    command->portByUsbId = true;
    return {};
}

const OptionRule kOptions[] = {
    {"--dll", kDll, true, parse_dll},
    {"--baud", kLine, true, parse_baud},
    {"--parity", kLine, true, parse_parity},
    {"--stop", kLine, true, parse_stop},
    {"--times", kTimes, false, parse_times},
    {"--check-closed", kCheckClosed, false, parse_check_closed},
    {"--usb", kUsb, true, parse_usb},
    {"--mode", kMode, true, parse_mode},
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
    {"open", Verb::Open, kDll | kUsb | kLine | kTimes, 1, "open needs a PORT"},
    {"send", Verb::Send, kDll | kUsb | kLine | kCheckClosed | kMode, 2, "send needs a PORT and a FILE"},
    {"recv", Verb::Recv, kDll | kUsb | kLine | kCheckClosed | kMode, 2, "recv needs a PORT and a FILE"},
};

const OptionRule* find_option(const std::string& name) {
    for (const OptionRule& option : kOptions)
        if (name == option.name) return &option;
    return nullptr;
}

const VerbRule* find_verb(Verb verb) {
    for (const VerbRule& rule : kVerbs)
        if (rule.verb == verb) return &rule;
    return nullptr;
}

// Options may stand anywhere; an action's own argument is taken as it is,
// so "write --baud" writes the text "--baud".
bool parse_command(int argc, char** argv, Command* command, std::string* problem) {
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
        if (const OptionRule* option = find_option(arg)) {
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
                if (i >= argc || !parse_unsigned(argv[i], &action.number))
                    return fail(arg + " needs a decimal number");
                action.name += ' ';
                action.name += argv[i++];
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

    const VerbRule* rule = find_verb(command->verb);
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

std::string default_dll_path() {
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
bool resolve_port(const PluginApi& api, const std::string& port, unsigned int* index) {
    const int count = api.EnumerateSerialPorts();
    unsigned long number = 0;
    if (parse_unsigned(port, &number)) {
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
            host_free_strings();
            return true;
        }
        listed += ' ';
        listed += name;
    }
    host_free_strings();
    std::fprintf(stderr, "serialhost: no serial port named %s (listed:%s)\n", port.c_str(),
                 listed.empty() ? " none" : listed.c_str());
    return false;
}

// The first listed port whose USB id is `usbId` (upper case).
bool resolve_usb_port(const PluginApi& api, const std::string& usbId, unsigned int* index) {
    const int count = api.EnumerateSerialPorts();
    std::string listed;
    for (int i = 0; i < count; ++i) {
        const std::string id = api.GetSerialPortUsbId(static_cast<unsigned int>(i));
        if (id == usbId) {
            *index = static_cast<unsigned int>(i);
            host_free_strings();
            return true;
        }
        listed += ' ';
        listed += api.GetSerialPortName(static_cast<unsigned int>(i));
        if (!id.empty()) listed += " (" + id + ")";
    }
    host_free_strings();
    std::fprintf(stderr, "serialhost: no serial port with USB id %s (listed:%s)\n", usbId.c_str(),
                 listed.empty() ? " none" : listed.c_str());
    return false;
}

// Port handle of the opened port, or 0 (then already reported).
unsigned int open_port(const PluginApi& api, const Command& command) {
    unsigned int index = 0;
    const bool found = command.portByUsbId ? resolve_usb_port(api, command.port, &index)
                                           : resolve_port(api, command.port, &index);
    if (!found) return 0;
    const int handle = api.OpenSerialPort(index, command.baud, command.stopBits, command.parity);
    if (handle <= 0) {
        std::fprintf(stderr, "serialhost: cannot open %s\n", command.port.c_str());
        return 0;
    }
    return static_cast<unsigned int>(handle);
}

int run_ports(const PluginApi& api) {
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
        host_free_strings();
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
bool close_and_open_again(const PluginApi& api, const Command& command, unsigned int* port, double* seconds,
                          int* failures) {
    api.CloseSerialPort(*port);
    const double start = host_seconds();
    *failures = 0;
    for (;;) {
        const unsigned int again = open_port(api, command);
        *seconds = host_seconds() - start;
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
bool reopen_port(const PluginApi& api, const Command& command, unsigned int* port) {
    double seconds = 0.0;
    int failures = 0;
    if (!close_and_open_again(api, command, port, &seconds, &failures)) return false;
    std::fprintf(stderr, "serialhost: reopened after %.1f ms, %d failed attempts\n", seconds * 1000.0, failures);
    return true;
}

// `count` reopens in a row, summed up in one line on stderr: how many came
// back at the first attempt, and the longest wait for the device.
bool cycle_port(const PluginApi& api, const Command& command, unsigned int* port, unsigned long count) {
    unsigned long delayed = 0, failedAttempts = 0;
    double longest = 0.0;
    for (unsigned long i = 0; i < count; ++i) {
        double seconds = 0.0;
        int failures = 0;
        const bool ok = close_and_open_again(api, command, port, &seconds, &failures);
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

// Returns false when the action failed.
bool run_action(const PluginApi& api, const Command& command, unsigned int* portInOut, const Action& action) {
    const unsigned int port = *portInOut;
    switch (action.kind) {
        case ActionKind::Reopen:
            return reopen_port(api, command, portInOut);
        case ActionKind::Cycle:
            return cycle_port(api, command, portInOut, action.number);
        case ActionKind::Handles: {
            DWORD counted = 0;
            if (!GetProcessHandleCount(GetCurrentProcess(), &counted)) counted = 0;
            std::printf("handles %lu (GetProcessHandleCount %lu)\n", host_handle_count(),
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
            host_free_strings();
            return true;
        case ActionKind::Avail:
            std::printf("%d\n", api.GetSerialBytesAvailable(port));
            return true;
        case ActionKind::Sleep:
            Sleep(static_cast<DWORD>(action.number));
            return true;
    }
    return false;
}

int run_open(const PluginApi& api, const Command& command) {
    unsigned int port = open_port(api, command);
    if (port == 0) return 1;
    int status = 0;
    for (const Action& action : command.actions) {
        const double start = host_seconds();
        const bool ok = run_action(api, command, &port, action);
        if (command.times) {
            std::fflush(stdout);
            std::fprintf(stderr, "serialhost: %s took %.1f ms\n", action.name.c_str(),
                         (host_seconds() - start) * 1000.0);
        }
        if (!ok) {
            status = 1;
            break;
        }
    }
    api.CloseSerialPort(port);
    return status;
}

std::string file_size_text(const std::string& name) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(name.c_str(), GetFileExInfoStandard, &data)) return "0";
    const unsigned long long size = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return std::to_string(size);
}

// A file the host still holds cannot be opened without sharing.
void tell_if_still_open(const std::string& name) {
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

double process_cpu_seconds() {
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

int run_transfer(const PluginApi& api, const Command& command) {
    const bool sending = command.verb == Verb::Send;
    if (sending) {
        const DWORD attributes = GetFileAttributesA(command.file.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            std::fprintf(stderr, "serialhost: %s: %s, nothing sent\n", command.file.c_str(),
                         attributes == INVALID_FILE_ATTRIBUTES ? "no such file" : "a folder, not a file");
            return 1;
        }
    }
    const unsigned int port = open_port(api, command);
    if (port == 0) return 1;
    if (!sending) {
        std::fprintf(stderr, "serialhost: waiting for a sender on %s, at most %d s until it starts\n",
                     command.port.c_str(),
                     kLongestSenderWaitSeconds + (command.mode >= 1 && command.mode <= 3 ? kCrcAskSeconds : 0));
        std::fflush(stderr);
    }
    std::vector<char> fileName(command.file.begin(), command.file.end());
    fileName.push_back('\0');
    const double start = host_seconds();
    const int result = sending ? api.SendSerialFile(port, fileName.data(), command.mode)
                               : api.ReceiveSerialFile(port, fileName.data(), command.mode);
    const double seconds = host_seconds() - start;
    api.CloseSerialPort(port);

    const std::string size = file_size_text(command.file);
    const double rate = seconds > 0.0 ? std::strtod(size.c_str(), nullptr) / seconds : 0.0;
    const char* verb = result == 1 ? (sending ? "sent" : "received") : (sending ? "send failed" : "receive failed");
    std::fflush(stdout);
    std::fprintf(stderr, "%s %s: %s bytes in %.3f s (%.0f bytes/s), cpu %.3f s\n", verb, command.file.c_str(),
                 size.c_str(), seconds, rate, process_cpu_seconds());
    if (command.checkClosed) tell_if_still_open(command.file);
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
    if (!parse_command(argc, argv, &command, &problem)) {
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

    const std::string dllPath = command.dllPath.empty() ? default_dll_path() : command.dllPath;
    PluginApi api{};
    std::string error;
    if (!host_load(dllPath.c_str(), &api, &error)) {
        std::fprintf(stderr, "serialhost: %s\n", error.c_str());
        return 1;
    }

    int status = 1;
    switch (command.verb) {
        case Verb::Ports: status = run_ports(api); break;
        case Verb::Open: status = run_open(api, command); break;
        case Verb::Send:
        case Verb::Recv: status = run_transfer(api, command); break;
        case Verb::None:
        case Verb::Help:
        case Verb::Version: break;
    }
    std::fflush(stdout);
    return status;
}
