// bladeboot-service's dispatch: which operation each command line reaches
// and how its outcome becomes the exit status.
#include <sstream>

#include "service/service.hpp"
#include "support.hpp"

using namespace unit;

namespace {

struct ServiceTest : fake::BoardTest {
    Outcome service(const std::string& line) { return run_main(service_main, "bladeboot-service " + line); }
    // A sender of one 128-byte packet that answers the receiver's bytes; a
    // receiver waiting for block 1 cancels on any other.
    void one_packet_sender(uint8_t block)
    {
        b().serial.rx = {13};
        Bytes packet = {0x01, block, static_cast<uint8_t>(255 - block)};
        packet.resize(3 + 128 + 2, 0);  // zero data has a zero CRC
        b().serial.on_tx = [this, packet](uint8_t sent) {
            auto& rx = b().serial.rx;
            if (sent == 'C') rx.insert(rx.end(), packet.begin(), packet.end());
            if (sent == 0x06 || sent == 0x15) rx.push_back(0x04);  // EOT after the packet, again after its NAK
        };
        // The operator's Enter at the console speed, once the handback waits
        // for it (its polls are the only whole-second sleeps).
        b().on_time = [this](uint64_t) {
            if (b().sleeps_us.back() == 1'000'000 && b().serial.rx.empty()) b().serial.rx.push_back(10);
        };
    }
};

TEST_F(ServiceTest, CommandLinesThatNameNoOperationPrintUsage)
{
    for (const char* line : {"", "bogus", "rx", "rx a b", "mgmt --dhcp", "mgmt --no-dhcp x", "mac x"}) {
        const Outcome o = service(line);
        EXPECT_TRUE(o.result == 2 && has(o.err, "usage: bladeboot-service rx FILE") && b().commands.empty()) << line;
    }
    const Outcome help = service("--help");
    EXPECT_TRUE(help.result == 0 && has(help.out, "usage: bladeboot-service rx FILE") && help.err.empty());
}

TEST_F(ServiceTest, RxSucceedsOnlyWhenTheTransferEndsNormally)
{
    // The right block, a block the receiver cancels on, no serial port.
    for (auto [block, port, status] : {std::tuple{1, true, 0}, {2, true, 1}, {1, false, 1}}) {
        fake::reset();
        one_packet_sender(static_cast<uint8_t>(block));
        b().serial.exists = port;
        EXPECT_EQ(service("rx /tmp/got" + std::to_string(block)).result, status) << block << port;
    }
    EXPECT_EQ(read_file("/tmp/got1"), std::string(128, '\0'));
}

TEST_F(ServiceTest, MacAndMgmtReportTheirOutcome)
{
    b().console.type("00:11:22:33:44:55\r");
    EXPECT_EQ(service("mac").result, 0);
    EXPECT_TRUE(has(testing::PrintToString(b().commands), "hw ether 00:11:22:33:44:55"));
    fake::reset();
    EXPECT_EQ(service("mac").result, 1) << "no answer, nothing set";

    write_file("/bin/dhclient", "");
    EXPECT_TRUE(has(service("mgmt").out, "Use DHCP"));
    fake::reset();
    const Outcome o = service("mgmt --no-dhcp");
    EXPECT_EQ(std::pair(o.result, has(o.out, "Use DHCP")), std::pair(1, false));
}

}  // namespace
