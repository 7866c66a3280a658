// The module's clock across a wrap of the system's 32-bit tick.
#include "fake_host.h"
#include "xmodem/packet.h"
#include "xmodem/receiver.h"

TEST_F(ModuleTest, AReceiversSilenceBoundSpansAWrapOfTheTick) {
    unsigned port = openPort();
    w32::world().nowMs = (uint64_t{1} << 32) - 3000;  // wraps 3 s into the wait
    std::vector<uint64_t> nakTimes;
    device().onWrite = [&](w32::Device&, const w32::Bytes& bytes) {
        if (bytes == w32::Bytes{xmodem::NAK}) nakTimes.push_back(w32::world().nowMs);
        if (nakTimes.size() == 2) device().arrive(w32::Bytes{xmodem::EOT});
    };
    EXPECT_EQ(ReceiveSerialFile(port, (char*)"in.bin", 0), 1);
    ASSERT_EQ(nakTimes.size(), 2u);
    EXPECT_GE(nakTimes[1] - nakTimes[0], xmodem::kHeaderSilenceMs);
}
