// bladeboot-service's dispatch: which operation each command line reaches
// and how its outcome becomes the exit status.
#include "service/service.hpp"
#include "support.hpp"

using namespace unit;

using ServiceTest = fake::BoardTest;

TEST_F(ServiceTest, CommandLinesReachTheirOperationOrPrintUsage)
{
    b().serial.exists = false;  // rx and the dialogues fail at once
    for (auto [line, status] : {std::pair{"", 2}, {"bogus", 2}, {"rx", 2}, {"rx a b", 2}, {"mgmt --dhcp", 2},
                                {"mgmt --no-dhcp x", 2}, {"mac x", 2}, {"--help", 0}, {"rx /tmp/got", 1}, {"mac", 1},
                                {"mgmt --no-dhcp", 1}}) {
        const Outcome o = run_main(service_main, std::string("bladeboot-service ") + line);
        EXPECT_EQ(o.result, status) << line;
        EXPECT_EQ(has(status ? o.err : o.out, "usage: bladeboot-service rx FILE"), status != 1) << line;
        EXPECT_TRUE(b().commands.empty()) << line;
    }
}
