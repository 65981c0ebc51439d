// bladeboot-service's dispatch and the management port dialogue it runs:
// which operation each command line reaches, what the answers configure and
// how the outcome becomes the exit status.
#include "launcher/mgmt.hpp"
#include "service/service.hpp"
#include "support.hpp"

using namespace unit;
using Commands = std::vector<std::string>;

namespace {

struct ServiceTest : fake::BoardTest {
    Outcome service(const std::string& line) { return run_main(service_main, "bladeboot-service " + line); }
};

TEST_F(ServiceTest, CommandLinesReachTheirOperationOrPrintUsage)
{
    b().serial.exists = false;  // rx and the dialogues fail at once
    for (auto [line, status] : {std::pair{"", 2}, {"bogus", 2}, {"rx", 2}, {"rx a b", 2}, {"mgmt --dhcp", 2},
                                {"mgmt --no-dhcp x", 2}, {"mac x", 2}, {"--help", 0}, {"rx /tmp/got", 1}, {"mac", 1},
                                {"mgmt --no-dhcp", 1}}) {
        const Outcome o = service(line);
        EXPECT_EQ(o.result, status) << line;
        EXPECT_EQ(has(status ? o.err : o.out, "usage: bladeboot-service rx FILE"), status != 1) << line;
        EXPECT_TRUE(b().commands.empty()) << line;
    }
}

TEST_F(ServiceTest, MgmtAsksAgainUntilAnAddressIsValidAndConfiguresWhatWasGiven)
{
    const std::string eth0 = "ifconfig eth0 ";
    const std::tuple<const char*, std::string, int, Commands> cases[] = {
        {"mgmt", "y\r", 0, {"dhclient -1 eth0"}},
        {"mgmt", "n\r\r10.0.0.1\r\r\r", 0, {eth0 + "10.0.0.1\n"}},
        {"mgmt --no-dhcp", "y\r0.1.2.3\r240.0.0.1\r239.9.9.9\r1.2.3.4.5\rx\r255.0.0.0\r10.0.0.254\r", 0,
         {eth0 + "239.9.9.9\n", eth0 + "down\n", eth0 + "netmask 255.0.0.0\n", eth0 + "up\n",
          "route add default gw 10.0.0.254\n"}},
        {"mgmt --no-dhcp", "0.0.0.1", 1, {}},  // refused and no more answers: nothing set
        {"mgmt --no-dhcp", "10.0.0.1\rq\r", 1, {}},
        {"mac", "0:1:2:3:4:5;id\r00:11:22:aa:BB:cc\r", 0, {eth0 + "hw ether 00:11:22:aa:BB:cc\n"}},
    };
    for (const auto& [line, keys, status, ran] : cases) {
        fake::reset();
        write_file(DHCLIENT_PATH, "");
        b().console.type(keys);
        EXPECT_EQ(service(line).result, status) << keys;
        EXPECT_EQ(b().commands, ran) << keys;
    }
}

}  // namespace
