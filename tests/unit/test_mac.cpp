#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/fake_platform.hpp"
#include "launcher/launch.hpp"
#include "launcher/mgmt.hpp"

using namespace bladeboot;

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

constexpr const char* PROMPT = "MAC address (format nn:nn:nn:nn:nn:nn): ";
constexpr const char* REFUSAL = "Invalid MAC address. Try again please\n";

struct MacCase {
    const char* what;
    std::vector<int> keys;
    int result;
    const char* command;  // nullptr: none
    size_t refusals;
    bool input_runs_out = false;  // no prompt follows the last refusal
};

std::vector<int> k(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<int> ctrl_c_then(const std::string& text)
{
    std::vector<int> keys{fake::INTERRUPT};
    keys.insert(keys.end(), text.begin(), text.end());
    return keys;
}

class MacTest : public fake::BoardTest {};

TEST_F(MacTest, Entry)
{
    const std::string good = "0a:1b:2c:3d:4e:5f";
    const MacCase cases[] = {
        {"six two-digit fields", k("00:1A:2b:3C:4d:5E\r"), 1, "ifconfig eth0 hw ether 00:1A:2b:3C:4d:5E\n", 0},
        {"six single-digit fields, as typed", k("1:2:3:a:b:c\r"), 1, "ifconfig eth0 hw ether 1:2:3:a:b:c\n", 0},
        {"fields are not range-tested", k("100:0x2:3:4:5:6\r"), 1, "ifconfig eth0 hw ether 100:0x2:3:4:5:6\n", 0},
        {"five fields", k("1:2:3:4:5\r" + good + "\r"), 1, "ifconfig eth0 hw ether 0a:1b:2c:3d:4e:5f\n", 1},
        {"empty line", k("\r\r" + good + "\r"), 1, "ifconfig eth0 hw ether 0a:1b:2c:3d:4e:5f\n", 2},
        // The line ends up in a root shell command.
        {"shell text after the sixth field", k("1:2:3:4:5:6;reboot\r" + good + "\r"), 1,
         "ifconfig eth0 hw ether 0a:1b:2c:3d:4e:5f\n", 1},
        {"command substitution", k("1:2:3:4:5:$(id)\r" + good + "\r"), 1,
         "ifconfig eth0 hw ether 0a:1b:2c:3d:4e:5f\n", 1},
        {"q", k("q\r"), 0, nullptr, 0},
        {"Q after a refusal", k("1:2\rQ\r"), 0, nullptr, 1},
        {"input ends after a refusal", k("1:2\r"), 0, nullptr, 2, true},
        {"Ctrl-C, even over a good address", ctrl_c_then(good + "\r"), 0, nullptr, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fake::reset();
        b().console.at_eof = false;
        b().console.keys.assign(c.keys.begin(), c.keys.end());
        CaptureStdout();
        EXPECT_EQ(run_mac_config(), c.result);
        const std::string out = GetCapturedStdout();
        EXPECT_EQ(b().commands, c.command ? std::vector<std::string>{c.command} : std::vector<std::string>{});

        size_t refusals = 0, prompts = 0;
        for (size_t at = out.find(REFUSAL); at != std::string::npos; at = out.find(REFUSAL, at + 1)) ++refusals;
        for (size_t at = out.find(PROMPT); at != std::string::npos; at = out.find(PROMPT, at + 1)) ++prompts;
        EXPECT_EQ(refusals, c.refusals) << out;
        EXPECT_EQ(prompts, c.refusals + (c.input_runs_out ? 0 : 1)) << out;
        EXPECT_TRUE(out.starts_with(PROMPT)) << out;
    }
}

TEST_F(MacTest, LineHoldsSeventeenCharacters)
{
    b().console.at_eof = false;
    // The 18th key rings the bell and is dropped.
    b().console.type("00:11:22:33:44:55X\r");
    CaptureStdout();
    EXPECT_EQ(run_mac_config(), 1);
    GetCapturedStdout();
    EXPECT_EQ(b().commands, std::vector<std::string>{"ifconfig eth0 hw ether 00:11:22:33:44:55\n"});
}

}  // namespace
