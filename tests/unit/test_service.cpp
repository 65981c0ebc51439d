// bladeboot-service's dispatch: which operation each command line reaches
// and how its outcome becomes the exit status.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "fakes/fake_platform.hpp"
#include "launcher/mgmt.hpp"
#include "service/service.hpp"

using namespace bladeboot;

namespace {

using testing::HasSubstr;
using testing::Not;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

class ServiceTest : public fake::BoardTest {
protected:
    int run(std::vector<std::string> args)
    {
        args.insert(args.begin(), "bladeboot-service");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        CaptureStdout();
        CaptureStderr();
        const int status = service_main(static_cast<int>(args.size()), argv.data());
        out_ = GetCapturedStdout();
        err_ = GetCapturedStderr();
        return status;
    }
    // A sender of one 128-byte packet that answers the receiver's bytes.
    void one_packet_sender(uint8_t block)
    {
        b().serial.rx = {13};
        std::vector<uint8_t> packet = {0x01, block, static_cast<uint8_t>(255 - block)};
        packet.resize(3 + 128 + 2, 0);  // zero data has a zero CRC
        b().serial.on_tx = [this, packet, step = 0](uint8_t sent) mutable {
            auto& rx = b().serial.rx;
            if (step == 0 && sent == 'C') rx.insert(rx.end(), packet.begin(), packet.end());
            else if (step == 1 && sent == 0x06) rx.push_back(0x04);
            else if (step == 2 && sent == 0x15) rx.push_back(0x04);
            else return;
            ++step;
        };
        // The operator's Enter at the console speed, once the handback waits
        // for it (its polls are the only whole-second sleeps).
        b().on_time = [this](uint64_t) {
            if (b().sleeps_us.back() == 1'000'000 && b().serial.rx.empty()) b().serial.rx.push_back(10);
        };
    }
    std::string out_;
    std::string err_;
};

TEST_F(ServiceTest, CommandLinesThatNameNoOperationPrintUsage)
{
    const std::vector<std::vector<std::string>> wrong = {
        {}, {"bogus"}, {"rx"}, {"rx", "a", "b"}, {"mgmt", "--dhcp"}, {"mgmt", "--no-dhcp", "x"}, {"mac", "x"}};
    for (const auto& args : wrong) {
        EXPECT_EQ(run(args), 2) << testing::PrintToString(args);
        EXPECT_THAT(err_, HasSubstr("usage: bladeboot-service rx FILE"));
        EXPECT_TRUE(b().commands.empty());
    }
}

TEST_F(ServiceTest, RxSucceedsOnlyWhenTheTransferEndsNormally)
{
    one_packet_sender(1);
    EXPECT_EQ(run({"rx", "/tmp/got"}), 0) << err_;
    std::ifstream got("/tmp/got", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(got), {}), std::string(128, '\0'));

    fake::reset();
    one_packet_sender(2);
    EXPECT_EQ(run({"rx", "/tmp/got"}), 1) << "a cancelled transfer";

    fake::reset();
    b().serial.exists = false;
    EXPECT_EQ(run({"rx", "/tmp/got"}), 1) << "no serial port";
}

TEST_F(ServiceTest, MacReportsWhetherAnAddressWasSet)
{
    b().console.type("00:11:22:33:44:55\r");
    EXPECT_EQ(run({"mac"}), 0);
    EXPECT_THAT(b().commands, testing::Contains(HasSubstr("hw ether 00:11:22:33:44:55")));

    fake::reset();
    EXPECT_EQ(run({"mac"}), 1) << "no answer, nothing set";
}

TEST_F(ServiceTest, MgmtOffersDhcpUnlessTold)
{
    std::ofstream("/bin/dhclient") << "";

    run({"mgmt"});
    EXPECT_THAT(out_, HasSubstr("Use DHCP"));
    fake::reset();
    EXPECT_EQ(run({"mgmt", "--no-dhcp"}), 1);
    EXPECT_THAT(out_, Not(HasSubstr("Use DHCP")));
}

}  // namespace
