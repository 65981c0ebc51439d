// Hostile inputs through the whole board: slot files, packages, a stick and
// file names, the environment and the EEPROM, each made as bad as it gets.
// Every run must end the way the launcher says it will (an application or a
// reboot, with its message), never in a crash, a hang or a command built
// from a file name.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "board.hpp"
#include "board_run.hpp"
#include "launcher/image.hpp"

using namespace bladeboot;

using systest::app_line;
using systest::Board;
using systest::contains;
using systest::Result;

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

enum class Ends { app1, app2, app_installed, reboot };

struct HostileCase {
    std::string name;
    std::function<void(const Board&)> setup;
    std::string keys;
    Ends ends;
    std::string says;  // on the console, stdout or stderr
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

Bytes app_image(int slot) { return bladesim::sample_application_image(slot); }

Bytes with_field(Bytes image, size_t offset, uint32_t value)
{
    put_be32(image.data() + offset, value);
    return image;
}

Bytes noise(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<uint8_t>(gen());
    return out;
}

Bytes concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// An application image whose extended header claims this header length.
Bytes extended_header_length(uint16_t length)
{
    Bytes image = app_image(2);
    put_be32(image.data() + 8, IMAGE_APPLICATION | MAGIC_EXTENDED_BIT);
    put_be16(image.data() + 18, length);
    return image;
}

Bytes hdr3_beyond_len()
{
    Bytes image = app_image(2);
    put_be32(image.data() + 16, HDR3_MARKER);
    put_be16(image.data() + 22, 0xFFF0);
    return image;
}

auto slot1(Bytes bytes)
{
    return [bytes](const Board& b) { b.write("user/images/image1", bytes); };
}

// A stick with one file, installed from the rescue menu into slot 1.
constexpr const char* MENU_INSTALL = "U1\r1\nE";
auto rescue_stick(std::string name, Bytes bytes)
{
    return [name, bytes](const Board& b) {
        b.setenv({"diagnostics=rescue"});
        b.write("usb/" + name, bytes);
    };
}

std::vector<HostileCase> cases()
{
    std::vector<HostileCase> all;
    const Bytes good = app_image(1);
    const Bytes installed = app_image(2);

    // Slot files: slot 1 hostile, slot 2 good.
    all.push_back({"ZeroLengthSlot", slot1({}), "", Ends::app2, "Image1 has invalid header... trying Image2.\n"});
    all.push_back({"SlotShorterThanHeader", slot1(Bytes(good.begin(), good.begin() + 10)), "", Ends::app2,
                   "Image1 has invalid header... trying Image2.\n"});
    all.push_back({"SlotCutInsideImage", slot1(Bytes(good.begin(), good.begin() + 100)), "", Ends::app2,
                   "Image1 CRC failed, trying Image2 now.\n"});
    const char* field_names[] = {"Crc", "Len", "Magic", "Id", "Bytes16", "Bytes20"};
    for (size_t f = 0; f < 6; ++f) {
        for (uint32_t value : {0u, 0xFFFFFFFFu}) {
            if (with_field(good, f * 4, value) == good) continue;  // already so: nothing hostile
            all.push_back({std::string("Slot") + field_names[f] + (value ? "AllOnes" : "Zero"),
                           slot1(with_field(good, f * 4, value)), "", Ends::app2, "trying Image2"});
        }
    }
    all.push_back({"SlotHeaderLongerThanImage", slot1(extended_header_length(0xFFFF)), "", Ends::app2, "trying Image2"});
    all.push_back({"SlotHdr3LongerThanLen", slot1(hdr3_beyond_len()), "", Ends::app2, "trying Image2"});
    all.push_back({"BothSlotsEmpty",
                   [](const Board& b) {
                       b.write("user/images/image1", {});
                       b.write("user/images/image2", {});
                   },
                   "", Ends::reboot, "No valid application image found. Trying rescue image\n"});

    // Packages from the rescue menu.
    all.push_back({"PackageTailShorterThanHeader", rescue_stick("pkg.img", concat(app_image(2), Bytes(23, 0x5A))),
                   MENU_INSTALL, Ends::app_installed, "Image1 updated succeeded\nFile processed\n"});
    all.push_back({"PackageOnlyATail", rescue_stick("pkg.img", Bytes(23, 0x5A)), MENU_INSTALL, Ends::app1,
                   "File processed\nERROR: No valid image found\n"});
    all.push_back({"PackageImageCutShort",
                   rescue_stick("pkg.img", Bytes(installed.begin(), installed.end() - 1)), MENU_INSTALL,
                   Ends::app1, "voiding download"});
    all.push_back({"PackageHeaderBeyondFile", rescue_stick("pkg.img", extended_header_length(0xFFFF)),
                   MENU_INSTALL, Ends::app1, "Truncated APPLICATION image (347 of 65866 bytes), voiding download\n"});
    all.push_back({"PackageHeaderShorterThanItsFields", rescue_stick("pkg.img", extended_header_length(4)),
                   MENU_INSTALL, Ends::app1, "Bad header for APPLICATION, voiding download\n"});
    all.push_back({"PackageEmpty", rescue_stick("pkg.img", {}), MENU_INSTALL, Ends::app1,
                   "ERROR: No valid image found\n"});

    // Names on the stick: none may reach a shell, the longest must fit.
    const std::string names[] = {std::string(251, 'n') + ".img", "with space.img", "quote\"'.img", "semi;colon.img",
                                 "$(reboot).img", "`reboot`.img", "a;reboot;.img", "-rf .img"};
    int n = 0;
    for (const std::string& name : names) {
        all.push_back({"StickName" + std::to_string(++n), rescue_stick(name, app_image(2)), MENU_INSTALL,
                       Ends::app_installed, "Installing " + name + "\n"});
    }
    all.push_back({"StickWithTenThousandFiles",
                   [](const Board& b) {
                       b.setenv({"diagnostics=rescue"});
                       fs::create_directories(b.path("usb"));
                       for (int i = 0; i < 10000; ++i) std::ofstream(b.path("usb/f" + std::to_string(i)));
                   },
                   "U10000\rE", Ends::app1, "File processed\nERROR: No valid image found\n"});

    // Boot settings from places the launcher does not control.
    all.push_back({"EnvironmentAllNoise",
                   [](const Board& b) { b.write("flash/ubootenv.bin", noise(128u << 10, 1)); }, "", Ends::app1,
                   ""});
    all.push_back({"EnvironmentNoiseAroundKeys",
                   [](const Board& b) {
                       Bytes env = noise(128u << 10, 2);
                       const std::string keys = "gdbport=99999999999999999999diagnostics=rescu\xff" "shell=o";
                       std::copy(keys.begin(), keys.end(), env.begin() + 100);
                       b.write("flash/ubootenv.bin", env);
                   },
                   "", Ends::app1, ""});
    all.push_back({"EepromDoesNotAnswer", [](const Board& b) { fs::remove(b.path("eeprom.bin")); }, "", Ends::app1,
                   ""});
    all.push_back({"EepromNoiseAskingForUsbWithoutStick",
                   [](const Board& b) {
                       Bytes eeprom = noise(0x10000, 3);
                       eeprom[bladesim::EEPROM_PREFERRED] = 7;
                       eeprom[bladesim::EEPROM_USBBOOT] = 213;
                       b.write("eeprom.bin", eeprom);
                   },
                   "", Ends::app1, "USB mount timed out"});
    return all;
}

class Hostile : public testing::TestWithParam<HostileCase> {};

TEST_P(Hostile, EndsAsTheLauncherSays)
{
    const HostileCase& c = GetParam();
    Board board("hostile-" + c.name);
    c.setup(board);
    const Result run = board.boot(c.keys);
    const std::string console = run.out + run.err;

    // 1 is a launcher that died (signal, abort) or left by itself; 4 a hang.
    ASSERT_EQ(run.status, c.ends == Ends::reboot ? 3 : 0) << console;
    EXPECT_FALSE(contains(run.err, "runtime error")) << run.err;
    if (!c.says.empty()) {
        EXPECT_TRUE(contains(console, c.says)) << console;
    }
    switch (c.ends) {
    case Ends::app1: EXPECT_TRUE(contains(run.out, app_line(1))) << run.out; break;
    case Ends::app2: EXPECT_TRUE(contains(run.out, app_line(2))) << run.out; break;
    case Ends::app_installed:
        // Slot 1 now holds slot 2's program and boots it.
        EXPECT_EQ(board.read("user/images/image1"), app_image(2));
        EXPECT_TRUE(contains(run.out, app_line(2))) << run.out;
        break;
    case Ends::reboot: EXPECT_EQ(board.outcome(), "reboot"); break;
    }
    // A file name run as a command would have rebooted the board.
    if (c.ends != Ends::reboot) {
        EXPECT_FALSE(contains(board.platform_log(), "reboot")) << board.platform_log();
    }
}

INSTANTIATE_TEST_SUITE_P(Inputs, Hostile, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<HostileCase>& param) { return param.param.name; });

}  // namespace
