// Whole boots of the sample board through bladesim: the launcher, busybox
// and the fake platform commands together. Each case sets a board up, boots
// it with some keys and is judged by what the operator saw, what ran, how
// the run ended and what the board keeps. Hostile inputs are cases like any
// other: they must end as the launcher says, never in a crash, a hang or a
// command built from a file name.
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "bladeimg/image_builder.hpp"
#include "board.hpp"
#include "board_run.hpp"
#include "launcher/image.hpp"

using namespace bladeboot;
using namespace systest;

namespace {

using Setup = std::function<void(const Board&)>;
using Check = std::function<void(const Board&, const Result&)>;

constexpr size_t PREFERRED = bladesim::EEPROM_PREFERRED, BOOTED = bladesim::EEPROM_BOOTED;
constexpr size_t USBBOOT = bladesim::EEPROM_USBBOOT;
const std::string image2 = "user/images/image2", MOUNT_USER = "/bin/mount -o sync -t jffs2 /dev/mtd-user /user";
const std::string INSTALL_SH = "/tmp/home/bin/install.sh", EXEC_BACKTRACE = "exec /bin/backtrace", SHELL = "/bin/sh\\n";
constexpr int REBOOT = 0, NO_APP = -1, AS_APP = -2;  // NO_APP: diagnostics run instead

struct Boot {
    std::string name;
    Setup setup;
    std::string keys;
    int app;                         // whose sample line shows (image N), REBOOT or NO_APP
    std::vector<std::string> says;   // in this order, standard output then standard error
    std::vector<std::string> ran{};  // commands, in this order
    Check check{};
    int booted = AS_APP;   // the EEPROM's record; -1: not checked
    bool reboots = false;  // after the application (debug modes)
};

void PrintTo(const Boot& c, std::ostream* os) { *os << c.name; }

// The sample application's own line, as slot n prints it.
std::string app_line(int n)
{
    const std::string s = std::to_string(n);
    return "sample application 1.0.0." + s + " (image" + s + ") running, SAMPLE_SETTING=from-env-setup-of-image" + s;
}
// `parts` appear in `text` in this order.
bool in_order(const std::string& text, const std::vector<std::string>& parts)
{
    for (size_t i = 0, at = 0; i < parts.size(); at += parts[i++].size())
        if ((at = text.find(parts[i], at)) == std::string::npos) return false;
    return true;
}
// clang-format off
Bytes app_image(int n) { return bladesim::sample_application_image(n); }
Bytes kernel_image() { return bladesim::sample_system_image(IMAGE_KERNEL); }
Bytes operator+(Bytes a, const Bytes& b) { a.insert(a.end(), b.begin(), b.end()); return a; }
Bytes with_field(Bytes image, size_t offset, uint32_t value) { put_be32(image.data() + offset, value); return image; }
// clang-format on
Bytes noise(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<uint8_t>(gen());
    return out;
}

// clang-format off
Setup all(std::vector<Setup> steps) { return [=](const Board& b) { for (const auto& s : steps) s(b); }; }
Setup env(std::vector<std::string> assignments) { return [=](const Board& b) { b.setenv(assignments); }; }
Setup put(std::string path, Bytes bytes) { return [=](const Board& b) { b.write(path, bytes); }; }
Setup removed(std::string path) { return [=](const Board& b) { fs::remove_all(b.path(path)); }; }
Setup slot1(Bytes bytes) { return put("user/images/image1", std::move(bytes)); }
Setup eeprom(size_t at, int value) { return [=](const Board& b) {
    Bytes e = b.read("eeprom.bin"); e.at(at) = static_cast<uint8_t>(value); b.write("eeprom.bin", e); }; }
Bytes flipped(Bytes image) { image.at(100) ^= 1; return image; }
Setup damaged(int slot) { return put("user/images/image" + std::to_string(slot), flipped(app_image(slot))); }
// A stick with one file, for the rescue menu's install into slot 1.
constexpr const char* MENU_INSTALL = "U1\r1\nE";
Setup rescue_stick(std::string name, Bytes b) { return all({env({"diagnostics=rescue"}), put("usb/" + name, b)}); }
Setup usb(std::string name, Bytes b, int asks = 213) { return all({eeprom(USBBOOT, asks), put("usb/" + name, b)}); }
Check holds(std::string path, Bytes v) { return [=](const Board& b, const Result&) { EXPECT_EQ(b.read(path), v); }; }
// The rest of a partition past a written image is not ours to judge.
Check begins(std::string path, Bytes v) { return [=](const Board& b, const Result&) {
    Bytes got = b.read(path); got.resize(v.size()); EXPECT_EQ(got, v); }; }
Check never_says(std::string t) { return [=](const Board&, const Result& r) { EXPECT_FALSE(contains(r.out, t)); }; }

std::vector<Boot> boots()
{
    std::vector<Boot> v;
    auto add = [&](Boot b) { v.push_back(std::move(b)); };
    const Bytes good = app_image(1), two = app_image(2);
    const Setup diags = env({"diagnostics=diags"}), rescue = env({"diagnostics=rescue"});

    // A stick, but the EEPROM does not ask for it.
    add({"SampleStickNotAskedFor", usb("KVL7730_OS.img", app_image(3), 212), "", 1, {"Booting image '1'\n"}, {},
         [](const Board& b, const Result& r) { EXPECT_EQ(r.err, ""); EXPECT_EQ(b.commands(), (std::vector<std::string>{
             MOUNT_USER, "/usr/bin/find /user > /dev/null", "cd /tmp \\ntar mxzf /tmp/torasimage.tar.gz \\nrm "
             "/tmp/torasimage.tar.gz\\n", INSTALL_SH, EXEC_BACKTRACE})); }});
    for (auto [preferred, slot] : {std::pair{2, 2}, {0, 1}, {255, 1}})
        add({"Preferred" + std::to_string(preferred), eeprom(PREFERRED, preferred), "", slot,
             {"Booting image '" + std::to_string(slot) + "'\n"}, {MOUNT_USER, INSTALL_SH, EXEC_BACKTRACE}});
    add({"Slot1Crc", damaged(1), "", 2, {"Image1 CRC failed, trying Image2 now.\n"}});
    add({"Slot1Missing", removed("user/images/image1"), "", 2, {"Failed to open Application image 1. Trying image 2"}});
    add({"Slot2Crc", all({eeprom(PREFERRED, 2), damaged(2)}), "", 1, {"Image2 CRC failed, trying Image1"}});
    add({"KernelBeforeApplicationSkipped", slot1(kernel_image() + good), "", 1, {}});
    add({"BothCrcsBadShellFirst", all({damaged(1), damaged(2), env({"shell=on"})}), "", REBOOT,
         {"Image1 CRC failed, trying Image2 now.\nBoth image1 and image2 failed.\n"}, {SHELL, "reboot"},
         never_says("Rescue")});
    add({"NoApplicationImage", all({slot1(kernel_image()), put(image2, kernel_image())}), "e", REBOOT, {}});
    add({"NoSlotFiles", removed("user/images"), "e", REBOOT, {"Entering Rescue Mode.\n",
         "Failed to open Application image 1. Trying image 2.\nFailed to open Application image 2.\n"}});

    // Launch modes from the environment.
    const std::string mp = "/tmp/home/bin/mp.elf.strip\\n", duma = "LD_PRELOAD=libduma.so.0.0.0 ";
    const std::string gs = "/bin/gdbserver :";
    add({"GdbServer", env({"gdbserver=on", "gdbport=4321"}), "", 1, {}, {gs + "4321 " + mp}, {}, 1, true});
    add({"GdbServerMemchk", env({"gdbserver=on", "memchk=on"}), "", 1, {}, {duma + gs + "1234 " + mp}, {}, 1, true});
    add({"Memchk", env({"memchk=on"}), "", 1, {}, {duma + mp}, {}, 1, true});
    add({"ShellBetweenInstallAndStart", env({"shell=on"}), "", 1, {"Dropping into shell\nDropping out of shell\n"
         "bladesim: application started\n"}, {INSTALL_SH, SHELL, EXEC_BACKTRACE}});
    add({"GdbWithoutDebugger", all({env({"gdb=on"}), removed(image2)}), "", 1,
         {"**** GDB mode selected but GDB not available. Please install GDB image ***\n",
          "Failed to open GDB image (from slot 2)\n"}, {EXEC_BACKTRACE}});

    // Diagnostics and the rescue menu. A declined erase keeps slot 1 bootable.
    add({"DiagnosticsErasesUser", diags, "y", NO_APP,
         {"Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: \n",
          "Booting diags image...\n", "sample diagnostics 1.0.0.0 running\n"},
         {"/bin/umount /user &> /dev/null", "flash_eraseall /dev/mtd-user-char", MOUNT_USER + " &> /dev/null",
          "mkdir /user/images &> /dev/null", EXEC_BACKTRACE},
         [](const Board& b, const Result&) { EXPECT_TRUE(fs::is_empty(b.path("user/images"))); }, 4});
    add({"DiagnosticsErased", all({diags, put("flash/rescue.bin", Bytes(10u << 20, 0xFF))}), "n", 1,
         {"Image not found... \n"}});
    add({"RescueUnknownThenReboot", rescue, "qr", REBOOT, {"unknown option \"Q\". Please try again\n"}});
    const Bytes kernel = bladeimg::make_image({IMAGE_KERNEL, 0x02000000}, Bytes(70000, 0x5A));
    // Whole erase blocks were rewritten: what follows the image reads erased.
    add({"RescueUsbKernelThenVersions", rescue_stick("kernel.img", kernel), "u1\rve", 1,
         {"Option? : v\nInstalled images versions: \n\tBoot image  : 1.0.0.0\n\tRFS image   : 1.0.0.0\n"
          "\tKernel image: 2.0.0.0\n\tDFT image   : 1.0.0.0\n\tOS image 1  : 1.0.0.1\n\tOS image 2  : 1.0.0.2\n",
          "Option? : e\nBooting image '1'\n"}, {},
         holds("flash/kernel.bin", kernel + Bytes((3u << 20) - kernel.size(), 0xFF))});

    // The USB stick.
    add({"UsbBootOnceThenAsks", usb("KVL7730_OS.img", app_image(3)), "", 3,
         {"USB mounted and ready!\n", "Booting image 'KVL7730_OS.img' from USB stick.\n"}, {},
         [](const Board& b, const Result&) { EXPECT_TRUE(in_order(b.boot("n\n").out, {"USB image is in rejected list.\n"
             "Would you still like to load it? (y/n) ", "USB Boot failed. Trying flash images.\n", app_line(1)})); }});
    add({"UsbBothReplacements", all({usb("KVL7730_replace2_OS.img", app_image(6)), eeprom(PREFERRED, 2),
                                     put("usb/KVL7730_replace1_OS.img", app_image(7))}), "", 7,
         {"Image2 has been successfully replaced\n", "Image1 has been successfully replaced\n",
          "USB replacement image: board will boot with image1.\nBooting image '1'\n"}, {},
         [](const Board& b, const Result& r) { holds(image2, app_image(6))(b, r);
             EXPECT_EQ(b.read("eeprom.bin").at(PREFERRED), 1); }, 1});
    const Bytes payload = bladesim::sample_uboot_payload();
    const Bytes same = bladeimg::make_image({IMAGE_UBOOT, bladesim::SAMPLE_SYSTEM_VERSION}, payload);
    add({"UsbSameBootLoader", usb("KVL7730_Boot.img", same), "", 1, {"Boot image found on USB.\n",
         "Image has same version as existing image. Skipping update...\n", "ERROR: No valid image found\n"}});
    Bytes uboot = payload;
    uboot[0] = 'B';  // another boot loader, same size, carrying its own header
    put_be32(&uboot[240 + 12], 0x01000001);
    add({"UsbNewBootLoader", usb("KVL7730_Boot.img", bladeimg::make_image({IMAGE_UBOOT, 0x01000001}, uboot)), "",
         REBOOT, {}, {}, begins("flash/uboot.bin", uboot)});
    // A boot loader without its header copy would be rewritten at every start.
    const Bytes bare = bladeimg::make_image({IMAGE_UBOOT, 0x01000001}, Bytes(100, 'B'));
    add({"UsbBootLoaderWithoutHeaderCopy", usb("KVL7730_Boot.img", bare), "", 1,
         {"Boot loader image carries no header copy at byte 240, voiding download\n"}, {},
         begins("flash/uboot.bin", payload)});

    // Hostile slot files: slot 1 bad, slot 2 good. BothSlotsEmpty has a zero-length one.
    Bytes hdr3 = with_field(two, 16, HDR3_MARKER), big_hdr = with_field(two, 8, IMAGE_APPLICATION | MAGIC_EXTENDED_BIT);
    put_be16(hdr3.data() + 22, 0xFFF0);
    put_be16(big_hdr.data() + 18, 0xFFFF);  // the extended header's own length
    std::vector<std::pair<std::string, Bytes>> slots{{"ShorterThanHeader", Bytes(good.begin(), good.begin() + 10)},
        {"CutInsideImage", Bytes(good.begin(), good.begin() + 100)}, {"HeaderLongerThanImage", big_hdr},
        {"Hdr3LongerThanLen", hdr3}};
    for (size_t f = 0; f < 6; ++f)
        for (uint32_t value : {0u, 0xFFFFFFFFu})
            if (Bytes bad = with_field(good, f * 4, value); bad != good)
                slots.push_back({"Field" + std::to_string(f) + (value ? "Ones" : "Zero"), bad});
    for (const auto& [name, bytes] : slots) add({"Slot" + name, slot1(bytes), "", 2, {"trying Image2"}});
    add({"BothSlotsEmpty", all({slot1({}), put(image2, {})}), "", REBOOT,
         {"No valid application image found. Trying rescue image\n"}});

    // Hostile packages, stick contents and names from the rescue menu.
    add({"PackageTailShorterThanHeader", rescue_stick("p.img", two + Bytes(23, 0x5A)), MENU_INSTALL, 2,
         {"Image1 updated succeeded\nFile processed\n"}, {}, holds("user/images/image1", two), 1});
    add({"PackageHeaderBeyondFile", rescue_stick("p.img", big_hdr), MENU_INSTALL, 1,
         {"Truncated APPLICATION image (347 of 65866 bytes), voiding download\n"}});
    for (int n = 0; const std::string& name : std::vector<std::string>{std::string(251, 'n') + ".img", "with space.img",
                                            "q\"'.img", "$(reboot).img", "`reboot`.img", "a;reboot;.img", "-rf .img"})
        add({"StickName" + std::to_string(++n), rescue_stick(name, two), MENU_INSTALL, 2, {"Installing " + name + "\n"},
             {}, holds("user/images/image1", two), 1});
    // Empty files: packages with no image at all.
    add({"StickWithTenThousandFiles", all({rescue, [](const Board& b) {
             fs::create_directories(b.path("usb"));
             for (int i = 0; i < 10000; ++i) std::ofstream(b.path("usb/f" + std::to_string(i)));
         }}), "U10000\rE", 1, {"File processed\nERROR: No valid image found\n"}});

    // Boot settings from places the launcher does not control.
    const std::string keys = "gdbport=99999999999999999999diagnostics=rescu\xff" "shell=o";
    const Bytes env_noise =
        noise(100, 2) + Bytes(keys.begin(), keys.end()) + noise((128u << 10) - 100 - keys.size(), 4);
    add({"EnvironmentNoiseAroundKeys", put("flash/ubootenv.bin", env_noise), "", 1, {}});
    add({"EepromDoesNotAnswer", removed("eeprom.bin"), "", 1, {}, {}, {}, -1});
    add({"EepromNoiseAskingForUsb", all({put("eeprom.bin", noise(0x10000, 3)), eeprom(PREFERRED, 7),
         eeprom(USBBOOT, 213)}), "", 1, {"USB mount timed out"}});
    return v;
}
// clang-format on

class WholeBoot : public testing::TestWithParam<Boot> {};

TEST_P(WholeBoot, EndsAsTheLauncherSays)
{
    const Boot& c = GetParam();
    Board board("boot-" + c.name);
    c.setup(board);
    const Result run = board.boot(c.keys);
    const bool reboots = c.app == REBOOT || c.reboots;

    // 1 is a launcher that died (signal, abort) or left by itself; 4 a hang.
    ASSERT_EQ(run.status, reboots ? 3 : 0) << run.out << run.err;
    EXPECT_FALSE(contains(run.err, "runtime error")) << run.err;
    EXPECT_TRUE(in_order(run.out + run.err, c.says)) << run.out << run.err;
    const std::string log = slurp(board.path("log/commands.log"));
    EXPECT_TRUE(in_order(log, c.ran)) << log;
    EXPECT_TRUE(c.app <= 0 || contains(run.out, app_line(c.app))) << run.out;
    const int booted = c.booted == AS_APP ? c.app : c.booted;
    EXPECT_TRUE(booted < 0 || board.read("eeprom.bin").at(BOOTED) == booted) << booted;
    EXPECT_EQ(board.outcome(), reboots ? "reboot" : "application");
    // A file name run as a command would have rebooted the board.
    const std::string platform = slurp(board.path("log/platform.log"));
    EXPECT_TRUE(reboots ? log.ends_with("\nreboot\n") : !contains(platform, "reboot")) << log << platform;
    if (c.check) c.check(board, run);
}

INSTANTIATE_TEST_SUITE_P(Board, WholeBoot, testing::ValuesIn(boots()),
                         [](const testing::TestParamInfo<Boot>& p) { return p.param.name; });

}  // namespace
