#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>

#include <fstream>
#include <string>
#include <vector>

#include "fakes/fake_platform.hpp"
#include "launcher/launch.hpp"
#include "launcher/mgmt.hpp"

using namespace bladeboot;

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

constexpr const char* DHCP_QUESTION = "Confirm: Use DHCP for network configuration? y/N: ";
constexpr const char* IP_PROMPT = "IP addr    :";
constexpr const char* NOT_AN_ADDRESS = "Invalid IP address. Try again please\n";

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

in_addr dotted(const char* text)
{
    in_addr a{};
    EXPECT_EQ(inet_aton(text, &a), 1) << text;
    return a;
}

class MgmtTest : public fake::BoardTest {
protected:
    void SetUp() override
    {
        fake::BoardTest::SetUp();
        dhclient_path = "/tmp/dhclient";
        b().console.at_eof = false;
        // When each command ran, in fake seconds.
        b().on_command = [this](const std::string&) {
            command_times_s.push_back(b().now_us / 1000000u);
            return 0;
        };
    }
    void TearDown() override { dhclient_path = "/bin/dhclient"; }

    void install_dhclient() { std::ofstream(dhclient_path) << "#!/bin/sh\n"; }

    std::vector<uint64_t> command_times_s;
};

// --- the dialogue -----------------------------------------------------------

struct DhcpCase {
    const char* what;
    bool client;
    uint8_t allowed;
    const char* keys;
    uint8_t dhcp;
};

TEST_F(MgmtTest, DhcpIsOfferedOnlyWithTheClientAndPermission)
{
    const DhcpCase cases[] = {
        {"y", true, 1, "y\r", 1},
        {"Yes", true, 1, "Yes\r", 1},
        {"empty", true, 1, "\r10.0.0.2\r\r\r", 0},
        {"n", true, 1, "n\r10.0.0.2\r\r\r", 0},
        {"anything else", true, 1, "sure\r10.0.0.2\r\r\r", 0},
        {"no client", false, 1, "10.0.0.2\r\r\r", 0},
        {"not allowed", true, 0, "10.0.0.2\r\r\r", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        if (c.client) install_dhclient();
        b().console.type(c.keys);
        in_addr ip{}, netmask{}, gateway{};
        uint8_t dhcp = 7;
        CaptureStdout();
        EXPECT_EQ(mgmt_port_params(&dhcp, &ip, &netmask, &gateway, c.allowed), 1);
        const std::string out = GetCapturedStdout();
        EXPECT_EQ(dhcp, c.dhcp);
        const bool asked = c.client && c.allowed;
        EXPECT_EQ(out.starts_with(DHCP_QUESTION), asked) << out;
        EXPECT_EQ(out.find(IP_PROMPT) != std::string::npos, c.dhcp == 0) << out;
        if (!asked) {
            EXPECT_TRUE(out.starts_with(IP_PROMPT)) << out;
        }
        EXPECT_EQ(ip.s_addr, c.dhcp ? 0u : dotted("10.0.0.2").s_addr);
        EXPECT_TRUE(b().commands.empty());
    }
}

struct AddressCase {
    const char* line;
    const char* refusal;  // nullptr: taken
};

TEST_F(MgmtTest, RequiredValidatedAddressRefusesUntilAHostAddress)
{
    const AddressCase cases[] = {
        {"", NOT_AN_ADDRESS},
        {"ten.0.0.1", NOT_AN_ADDRESS},
        {"1.2.3.4.5", NOT_AN_ADDRESS},
        {"0.0.0.0", "Invalid IP address 0.0.0.0. Try again please\n"},
        {"0.1.2.3", "Invalid IP address 0.1.2.3. Try again please\n"},
        {"240.0.0.1", "Invalid IP address 240.0.0.1. Try again please\n"},
        {"255.255.255.255", "Invalid IP address 255.255.255.255. Try again please\n"},
        {"1.0.0.0", nullptr},
        {"224.0.0.1", nullptr},
        {"239.255.255.255", nullptr},
        {"10.1", nullptr},  // inet_aton's short form: 10.0.0.1
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        SetUp();
        b().console.type(std::string(c.line) + "\r192.168.0.9\r");
        in_addr a{};
        CaptureStdout();
        EXPECT_EQ(get_ip_addr(IP_PROMPT, &a, 1, 1), 1);
        const std::string out = GetCapturedStdout();
        if (c.refusal) {
            EXPECT_EQ(out, std::string(IP_PROMPT) + c.line + "\n" + c.refusal + IP_PROMPT + "192.168.0.9\n");
            EXPECT_EQ(a.s_addr, dotted("192.168.0.9").s_addr);
        } else {
            EXPECT_EQ(out, std::string(IP_PROMPT) + c.line + "\n");
            EXPECT_EQ(a.s_addr, dotted(c.line).s_addr);
        }
    }
}

TEST_F(MgmtTest, FirstOctetDecidesAHostAddress)
{
    const std::pair<uint32_t, int> cases[] = {
        {0x00000000, 0}, {0x00FFFFFF, 0}, {0x01000000, 1}, {0x7F000001, 1}, {0xDFFFFFFF, 1},
        {0xE0000000, 1}, {0xEFFFFFFF, 1}, {0xF0000000, 0}, {0xFFFFFFFF, 0}, {0x0A0000F0, 1},
    };
    for (const auto& [host_order, ok] : cases) {
        SCOPED_TRACE(host_order);
        EXPECT_EQ(verify_ip_address(htonl(host_order)), ok);
    }
}

TEST_F(MgmtTest, OptionalAddressMayBeLeftEmptyOrAnything)
{
    in_addr netmask = dotted("1.2.3.4");
    b().console.type("\r0.0.0.0\r");
    CaptureStdout();
    EXPECT_EQ(get_ip_addr("Netmask    :", &netmask, 0, 0), 1);
    EXPECT_EQ(netmask.s_addr, dotted("1.2.3.4").s_addr);
    EXPECT_EQ(get_ip_addr("Netmask    :", &netmask, 0, 0), 1);
    EXPECT_EQ(netmask.s_addr, 0u);
    GetCapturedStdout();
}

TEST_F(MgmtTest, GatewayIsValidated)
{
    b().console.type("10.0.0.2\r\r0.0.0.1\r10.0.0.1\r");
    CaptureStdout();
    EXPECT_EQ(mgmt_port_setup(0), 1);
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(count(out, "Invalid IP address 0.0.0.1. Try again please\n"), 1u) << out;
    EXPECT_EQ(b().commands.back(), "route add default gw 10.0.0.1\n");
}

std::vector<int> keys(const std::string& text)
{
    return {text.begin(), text.end()};
}

std::vector<int> operator+(std::vector<int> a, const std::vector<int>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(MgmtTest, QuittingAtAnyPromptRunsNothing)
{
    const std::vector<int> interrupt{fake::INTERRUPT};
    const std::pair<const char*, std::vector<int>> cases[] = {
        {"q at the address", keys("n\rq\r")},
        {"any answer beginning with Q", keys("n\rQuit\r")},
        {"q at the netmask", keys("n\r10.0.0.2\rq\r")},
        {"Q at the gateway", keys("n\r10.0.0.2\r\rQ\r")},
        // The editor keeps the line going after Ctrl-C; once it ends, the
        // flag counts as quit whatever was typed.
        {"Ctrl-C at the DHCP question", interrupt + keys("y\r")},
        {"Ctrl-C at the netmask", keys("n\r10.0.0.2\r") + interrupt + keys("255.0.0.0\r")},
        // A refused answer with no input left would be asked for ever.
        {"input ends at the address", keys("n\r")},
        {"input ends after a refused address", keys("n\r0.1.2.3\r")},
    };
    for (const auto& [what, answers] : cases) {
        SCOPED_TRACE(what);
        SetUp();
        install_dhclient();
        b().console.keys.assign(answers.begin(), answers.end());
        CaptureStdout();
        EXPECT_EQ(mgmt_port_setup(1), 0);
        GetCapturedStdout();
        EXPECT_TRUE(b().commands.empty());
        EXPECT_TRUE(b().net.requests.empty());
        EXPECT_EQ(b().slept_us(), 0u);
    }
}

// --- applying it ----------------------------------------------------------

TEST_F(MgmtTest, StaticConfigurationCommandsAndTiming)
{
    b().console.type("192.168.1.10\r255.255.255.0\r192.168.1.1\r");
    CaptureStdout();
    EXPECT_EQ(mgmt_port_setup(1), 1);
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(b().commands, (std::vector<std::string>{
                                "ifconfig eth0 192.168.1.10\n",
                                "ifconfig eth0 down\n",
                                "ifconfig eth0 netmask 255.255.255.0\n",
                                "ifconfig eth0 up\n",
                                "route add default gw 192.168.1.1\n",
                            }));
    // The address and netmask go in at once, the route after the pause.
    EXPECT_EQ(command_times_s, (std::vector<uint64_t>{0, 0, 0, 0, 5}));
    EXPECT_EQ(b().slept_us(), 26'000'000u);
    EXPECT_TRUE(out.ends_with("\tNetmask    : 255.255.255.0\n"
                              "\tGateway    : 192.168.1.1\n"
                              "Configuring management port...." +
                              std::string(19, '.') + "\n"))
        << out;
    EXPECT_EQ(out.find("192.168.1.10", out.find("Gateway")), std::string::npos);
    EXPECT_EQ(b().net.requests,
              (std::vector<unsigned long>{SIOCGIFINDEX, SIOCGIFFLAGS, SIOCETHTOOL}));
}

TEST_F(MgmtTest, StaticConfigurationWithoutNetmaskOrGatewayStillTakes26Seconds)
{
    b().console.type("10.0.0.2\r\r\r");
    CaptureStdout();
    EXPECT_EQ(mgmt_port_setup(0), 1);
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(b().commands, std::vector<std::string>{"ifconfig eth0 10.0.0.2\n"});
    EXPECT_EQ(out.find("Netmask    : "), std::string::npos);
    EXPECT_EQ(out.find("Gateway    : "), std::string::npos);
    EXPECT_EQ(b().slept_us(), 26'000'000u);
}

TEST_F(MgmtTest, DhcpRunsOneLeaseAttemptThenWaitsThreeSeconds)
{
    install_dhclient();
    b().console.type("y\r");
    b().on_time = [this](uint64_t) { EXPECT_TRUE(b().net.requests.empty()) << "link read before the pause"; };
    CaptureStdout();
    EXPECT_EQ(mgmt_port_setup(1), 1);
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(b().commands, std::vector<std::string>{"dhclient -1 eth0"});
    EXPECT_EQ(b().slept_us(), 3'000'000u);
    EXPECT_EQ(out, std::string(DHCP_QUESTION) + "y\n\n");
    EXPECT_EQ(b().net.requests.size(), 3u);
}

// --- the link -----------------------------------------------------------

struct LinkCase {
    const char* what;
    void (*fault)(fake::Net&);
    const char* message;
};

TEST_F(MgmtTest, LinkNeedsUpRunningAndCarrier)
{
    const LinkCase cases[] = {
        {"no socket", [](fake::Net& n) { n.socket_fails = true; }, "Raw Socket open error\n"},
        {"no interface", [](fake::Net& n) { n.index_fails = true; }, "Open Interface eth0 error.\n"},
        {"no flags", [](fake::Net& n) { n.flags_fails = true; }, "Open flags error.\n"},
        {"no ethtool", [](fake::Net& n) { n.ethtool_fails = true; }, "EthTool GLINK error.\n"},
        {"no carrier", [](fake::Net& n) { n.link = 0; }, ""},
        {"down", [](fake::Net& n) { n.flags = 0x40; }, ""},
        {"not running", [](fake::Net& n) { n.flags = 0x1; }, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        c.fault(b().net);
        CaptureStdout();
        EXPECT_EQ(mgmt_link_status('0'), 0);
        EXPECT_EQ(GetCapturedStdout(), c.message);
        EXPECT_EQ(b().net.sockets_open, 0);

        // Through the whole configuration the commands stay run.
        SetUp();
        c.fault(b().net);
        b().console.type("10.0.0.2\r\r\r");
        CaptureStdout();
        EXPECT_EQ(mgmt_port_setup(0), 0);
        EXPECT_TRUE(GetCapturedStdout().ends_with(std::string(c.message) + "Mgmt link not available. Quitting.\n"));
        EXPECT_EQ(b().commands.size(), 1u);
    }

    SetUp();
    EXPECT_EQ(mgmt_link_status('7'), 1);
    EXPECT_EQ(b().net.names, (std::vector<std::string>{"eth0", "eth0", "eth0"}));
    EXPECT_EQ(b().net.sockets_open, 0);
}

}  // namespace
