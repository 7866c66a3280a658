// Port details from the device registry, matched to the listed ports.
#include "fake_host.h"
#include "setupapi_double.h"

using fake::host;
using w32::addPortDevice;
using w32::deviceRegistry;

namespace {

using Details = std::vector<std::string>;

// Description, hardware id and USB id of a port-list index.
Details details(unsigned index) {
    return {GetSerialPortDescription(index), GetSerialPortHardwareId(index), GetSerialPortUsbId(index)};
}

const Details kNone = {"", "", ""};

void expectNothingLeftOpen() {
    EXPECT_EQ(deviceRegistry().listsOpen, 0);
    EXPECT_EQ(deviceRegistry().keysOpen, 0);
}

}  // namespace

TEST_F(ModuleTest, PresentPortDevicesAreMatchedToListedPortsByPortName) {
    addPortDevice(R"(FTDIBUS\VID_0403+PID_6001+A6008ISPA\0000)", "USB Serial Port (COM6)",
                  {R"(FTDIBUS\COMPORT&VID_0403&PID_6001)"}, "COM6");
    addPortDevice(R"(USB\VID_2341&PID_0043\7563331323335)", "USB Serial Device (COM5)",
                  {R"(USB\VID_2341&PID_0043&REV_0001)", R"(USB\VID_2341&PID_0043)"}, "com5");
    // Unplugged long ago; its port name has since gone to another port.
    w32::DeviceNode& unplugged =
        addPortDevice(R"(USB\VID_10C4&PID_EA60\0001)", "CP2102 (COM1)", {R"(USB\VID_10C4&PID_EA60)"}, "COM1");
    unplugged.present = false;
    listPorts({"COM1", "COM5", "COM6", "COM7"});
    EXPECT_EQ(EnumerateSerialPorts(), 4);
    EXPECT_STREQ(GetSerialPortName(1), "COM5");
    EXPECT_EQ(details(0), kNone);
    EXPECT_EQ(details(1), (Details{"USB Serial Device (COM5)", R"(USB\VID_2341&PID_0043&REV_0001)", "2341:0043"}));
    EXPECT_EQ(details(2), (Details{"USB Serial Port (COM6)", R"(FTDIBUS\COMPORT&VID_0403&PID_6001)", "0403:6001"}));
    EXPECT_EQ(details(3), kNone) << "no device entry";
    EXPECT_TRUE(host().reports.empty());
    expectNothingLeftOpen();
}

TEST_F(ModuleTest, TheUsbIdComesFromAHardwareIdElseFromTheInstanceId) {
    struct Case {
        std::vector<std::string> hardwareIds;
        std::string instanceId;
        std::string usbId;
    };
    const Case cases[] = {
        {{R"(USB\Vid_1a86&Pid_7523&Rev_0254)"}, R"(USB\VID_1A86&PID_7523\5&2)", "1A86:7523"},
        {{R"(MYBUS\SERIAL)", R"(USB\VID_2341&PID_8036&MI_00)"}, R"(MYBUS\SERIAL\1)", "2341:8036"},
        {{R"(MYBUS\VID_1111)", R"(MYBUS\PID_2222)"}, R"(MYBUS\VID_10C4+PID_EA60+0001\0000)", "10C4:EA60"},
        {{R"(ACPI\PNP0501)", R"(*PNP0501)"}, R"(ACPI\PNP0501\1)", ""},
        {{R"(USB\VID_123&PID_45678)"}, R"(ROOT\PORTS\0000)", ""},
        {{}, R"(USB\VID_0403&PID_6015\DN05)", "0403:6015"},
    };
    std::vector<std::string> names;
    for (const Case& c : cases) {
        names.push_back("COM" + std::to_string(10 + names.size()));
        addPortDevice(c.instanceId, "", c.hardwareIds, names.back());
    }
    listPorts(names);
    for (unsigned i = 0; i < names.size(); ++i) {
        const Case& c = cases[i];
        EXPECT_STREQ(GetSerialPortUsbId(i), c.usbId.c_str()) << c.instanceId;
        EXPECT_STREQ(GetSerialPortHardwareId(i), c.hardwareIds.empty() ? "" : c.hardwareIds[0].c_str());
    }
}

TEST_F(ModuleTest, LongAndUnterminatedValuesComeBackWhole) {
    const std::string name = std::string(300, 'n') + " (COM3)";
    const std::string instance = R"(FTDIBUS\VID_0403+PID_6010+)" + std::string(280, 'S') + R"(\0000)";
    w32::DeviceNode& node = addPortDevice(instance, name, {}, "");
    node.parameters.push_back(w32::regSz("PortName", "COM3", false));
    node.properties[SPDRP_HARDWAREID] = w32::regSz("", R"(FTDIBUS\COMPORT&VID_0403&PID_6010)", false);
    listPorts({"COM3"});
    EXPECT_EQ(details(0), (Details{name, R"(FTDIBUS\COMPORT&VID_0403&PID_6010)", "0403:6010"}));
}

TEST_F(ModuleTest, DeviceRegistryFailuresLeaveTheDetailsEmptyAndTheListWhole) {
    const std::function<void(w32::DeviceNode&)> faults[] = {
        [](w32::DeviceNode&) { deviceRegistry().listFails = true; },
        [](w32::DeviceNode&) { deviceRegistry().failEnumAt = 0; },
        [](w32::DeviceNode& node) { node.keyOpens = false; },
        [](w32::DeviceNode& node) {
            node.properties[SPDRP_FRIENDLYNAME] = w32::regValue("", REG_DWORD, {1, 0, 0, 0});
            node.properties[SPDRP_HARDWAREID] = w32::regValue("", REG_BINARY, {'V', 'I', 'D', '_'});
            node.instanceId = R"(ROOT\PORTS\0000)";
        },
    };
    for (const auto& fault : faults) {
        w32::resetDeviceRegistry();
        fault(addPortDevice(R"(USB\VID_2341&PID_0043\1)", "Board (COM5)", {R"(USB\VID_2341&PID_0043)"}, "COM5"));
        listPorts({"COM1", "COM5"});
        EXPECT_EQ(EnumerateSerialPorts(), 2);
        EXPECT_STREQ(GetSerialPortName(1), "COM5");
        EXPECT_EQ(details(1), kNone);
        expectNothingLeftOpen();
    }
    EXPECT_TRUE(host().reports.empty());
}

TEST_F(ModuleTest, DetailsOutsideTheListAreEmptyHostStrings) {
    EXPECT_EQ(details(0), kNone) << "before any enumeration";
    addPortDevice(R"(USB\VID_2341&PID_0043\1)", "Board (COM5)", {R"(USB\VID_2341&PID_0043)"}, "COM5");
    listPorts({"COM5"});
    host().stringSizes.clear();
    EXPECT_EQ(details(1), kNone);
    EXPECT_EQ(details(4294967295u), kNone);
    EXPECT_EQ(host().stringSizes, std::vector<int>(6, 1));
    w32::world().registry.keyExists = false;
    EXPECT_EQ(EnumerateSerialPorts(), 0);
    EXPECT_EQ(details(0), kNone) << "a failed enumeration leaves no details behind";
    EXPECT_TRUE(host().reports.empty());
}
