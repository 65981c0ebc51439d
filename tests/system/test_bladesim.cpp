// bladesim's own parts, without a sandbox run: the command line, the command
// log's escaping, the boot loader environment, the EEPROM display, the sample
// board and the sandbox's command line.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <sstream>

#include "board.hpp"
#include "cli.hpp"
#include "launcher/crc.hpp"
#include "launcher/image.hpp"
#include "platform/sim_board.hpp"
#include "sandbox.hpp"

using namespace bladeboot;
using namespace bladesim;
using Args = std::vector<std::string>;

namespace {

// The options in one line: command, folder, speed, timeout, then each
// assignment, the three EEPROM settings and each program word.
std::string parsed(const std::string& line)
{
    std::istringstream words(line);
    const auto r = parse_args({std::istream_iterator<std::string>(words), {}});
    if (!std::holds_alternative<Options>(r)) return "refused";
    const Options& o = std::get<Options>(r);
    std::ostringstream s;
    s << Args{"help", "init", "run", "setenv", "eeprom", "exec"}[static_cast<size_t>(o.command)] << " " << o.dir << " "
      << o.speed << " " << o.timeout;
    for (const auto& a : o.assignments) s << " " << a;
    for (const auto& v : {o.preferred, o.booted, o.usbboot}) s << " " << (v ? std::to_string(*v) : "-");
    for (const auto& a : o.program) s << " " << a;
    return s.str();
}

// A whole image whose crc fits.
bool image_ok(std::vector<uint8_t> image, uint32_t type, uint32_t version)
{
    const ImageGeometry g = image_geometry(image.data());
    return g.usable && g.total_size <= image.size() && g.type == type && get_be32(&image[12]) == version &&
           CheckCrc(image.data() + 4, g.total_size - 4, get_be32(image.data())) == 0;
}

bool in(const Args& list, const std::string& s) { return std::count(list.begin(), list.end(), s) > 0; }

bool has_run(const Args& args, const Args& run)
{
    return std::search(args.begin(), args.end(), run.begin(), run.end()) != args.end();
}

}  // namespace

TEST(Args, CommandsOptionsAndUsageErrors)
{
    const std::pair<const char*, const char*> cases[] = {
        {"run b --speed 100 --timeout 7", "run b 100 7 - - -"},
        {"run b", "run b 1 300 - - -"},
        {"exec b --speed 2 -- sh -c --speed", "exec b 2 300 - - - sh -c --speed"},
        {"setenv b gdb=on shell=", "setenv b 1 300 gdb=on shell= - - -"},
        {"eeprom b --usbboot 213 --preferred 0", "eeprom b 1 300 0 - 213"},
        {"--help", "help  1 300 - - -"}};
    for (const auto& [line, options] : cases) EXPECT_EQ(parsed(line), options);
    for (const char* line :
         {"", "boot b", "run", "run --speed 2", "run b --speed", "run b --speed 0", "run b --speed fast",
          "run b --timeout -1", "run b extra", "exec b", "exec b --", "exec b sh", "eeprom b --booted 256",
          "eeprom b --speed 2", "init b --speed 2", "setenv b --timeout 2"})
        EXPECT_EQ(parsed(line), "refused") << line;
}

// One line per command, and a line reads back as exactly one command.
TEST(CommandLog, EscapesNewlinesAndBackslashes)
{
    const std::pair<std::string, std::string> cases[] = {{"reboot", "reboot"},
                                                         {"cd /tmp \ntar mxzf x \n", "cd /tmp \\ntar mxzf x \\n"},
                                                         {"echo a\\nb", "echo a\\\\nb"},
                                                         {"\\\n", "\\\\\\n"},
                                                         {"", ""}};
    for (const auto& [command, line] : cases) EXPECT_EQ(simboard::escape_command(command), line) << command;
}

TEST(Environment, LayoutRoundTripAndAssignments)
{
    const auto block = make_environment({{"shell", "on"}, {"gdb", "on"}}, 64);
    ASSERT_TRUE(block.has_value());
    // zlib's CRC-32 of the data area, most significant byte first; sorted pairs; zeros.
    EXPECT_EQ(std::string(block->begin() + 4, block->end()),
              std::string("gdb=on\0shell=on\0", 16) + std::string(44, 0));
    EXPECT_EQ(get_be32(block->data()), static_cast<uint32_t>(crc32(0, block->data() + 4, 60)));

    Environment vars{{"diagnostics", "rescue"}, {"bootargs", "console=ttyS0 shell=on"}};
    auto big = make_environment(vars, 128u << 10);
    EXPECT_EQ(parse_environment(*big), vars);
    (*big)[10] ^= 1;
    EXPECT_FALSE(parse_environment(*big).has_value()) << "a damaged block fails its CRC";
    EXPECT_FALSE(make_environment({{"a", std::string(50, 'x')}}, 56).has_value());
    EXPECT_EQ(parse_environment(*make_environment({{"a", std::string(49, 'x')}}, 57)),
              (Environment{{"a", std::string(49, 'x')}}));

    for (const char* good : {"gdbport=4321", "diagnostics=", "bootargs=a=b c"})
        EXPECT_EQ(apply_assignment(vars, good), "");
    for (const char* bad : {"gdb", "=on", "my var=1"}) EXPECT_NE(apply_assignment(vars, bad), "") << bad;
    EXPECT_EQ(vars, (Environment{{"gdbport", "4321"}, {"bootargs", "a=b c"}}));
}

TEST(Eeprom, InitialSettingsAndDisplay)
{
    auto eeprom = initial_eeprom();
    std::vector<uint8_t> expected(65536, 0xFF);
    expected[256] = 1, expected[314] = 0, expected[315] = 0;
    EXPECT_EQ(eeprom, expected);
    EXPECT_EQ(describe_eeprom(eeprom),
              "preferred slot (byte 256): 1\nbooted slot    (byte 314): 0\nUSB boot       (byte 315): 0\n");
    eeprom[315] = 213;
    EXPECT_NE(describe_eeprom(eeprom).find("213 (boot from USB requested)"), std::string::npos);
}

TEST(SampleBoard, FilesAndImages)
{
    const fs::path dir = fs::temp_directory_path() / "bladesim-test-sample";
    fs::remove_all(dir);
    ASSERT_EQ(create_board(dir), "");
    for (const Partition& part : PARTITIONS) EXPECT_EQ(fs::file_size(dir / "flash" / part.file), part.size);
    EXPECT_EQ(read_file(dir / "eeprom.bin"), initial_eeprom());
    EXPECT_EQ(parse_environment(*read_file(dir / "flash/ubootenv.bin")), Environment{});
    EXPECT_TRUE(fs::is_directory(dir / "log"));
    EXPECT_FALSE(fs::exists(dir / "usb")) << "no stick unless the user puts one in";
    for (uint32_t slot : {1u, 2u}) {
        const auto image = *read_file(dir / "user/images" / ("image" + std::to_string(slot)));
        EXPECT_TRUE(image_ok(image, IMAGE_APPLICATION, 0x01000000u + slot) &&
                    image_geometry(image.data()).total_size == image.size());
    }
    for (const auto& [file, type] : {std::pair{"devicetree.bin", IMAGE_DFT},
                                     {"kernel.bin", IMAGE_KERNEL},
                                     {"rfs.bin", IMAGE_RFS},
                                     {"rescue.bin", IMAGE_DIAGS}})
        EXPECT_TRUE(image_ok(*read_file(dir / "flash" / file), type, SAMPLE_SYSTEM_VERSION)) << file;
    // The boot loader's version sits at byte 240 of its payload.
    const auto uboot = *read_file(dir / "flash/uboot.bin");
    EXPECT_EQ(get_be32(&uboot[240 + 8]), IMAGE_UBOOT);
    EXPECT_EQ(get_be32(&uboot[240 + 12]), SAMPLE_SYSTEM_VERSION);
    EXPECT_EQ(uboot.back(), 0xFF);
    EXPECT_NE(create_board(dir), "") << "an existing board is never overwritten";
    fs::remove_all(dir);
}

TEST(SandboxArgs, RootWithTwoCapabilitiesWritableOnlyBoardAndTmpFakesAtEveryName)
{
    SandboxPlan plan{"/boards/b",
                     {"/x/bladeboot-sim", "/x/service", "/x/rx", "/x/enter", "/x/board-bin", "/usr/bin/busybox"},
                     {"/sim/bladeboot"},
                     100,
                     "",
                     true,
                     ""};
    const auto args = bwrap_args(plan);
    EXPECT_TRUE(has_run(args, {"--cap-drop", "ALL", "--cap-add", "CAP_CHOWN", "--cap-add", "CAP_DAC_OVERRIDE"}));
    EXPECT_EQ(std::count(args.begin(), args.end(), "--cap-add"), 2);
    EXPECT_FALSE(has_run(args, {"--unshare-user"})) << "root needs no user namespace";
    plan.as_root = false;
    EXPECT_TRUE(has_run(bwrap_args(plan), {"--unshare-user", "--uid", "0", "--gid", "0"}));

    for (const Args& run : {Args{"--tmpfs", "/tmp"}, Args{"--bind", "/boards/b/user", "/user"},
                            Args{"--bind", "/boards/b/flash/kernel.bin", "/dev/mtd-kernel"},
                            Args{"--dir", "/bin", "--dir", "/sbin", "--dir", "/usr/bin"}})
        EXPECT_TRUE(has_run(args, run)) << run[1];
    for (const std::string& fake : FAKE_COMMANDS) {
        EXPECT_TRUE(has_run(args, {"--symlink", "/sim/fakes/" + fake, "/bin/" + fake})) << fake;
        EXPECT_TRUE(has_run(args, {"--symlink", "/sim/fakes/" + fake, "/sbin/" + fake})) << fake;
    }
    for (size_t i = 0; i + 2 < args.size(); ++i) {
        const std::string &what = args[i], &from = args[i + 1], &to = args[i + 2];
        // Writable: only the board's own files. No host link (/bin -> usr/bin
        // and the like) is bound over, nor anything under /usr/sbin.
        const bool writable = what == "--bind" || what == "--dev-bind", bound = what.ends_with("bind");
        EXPECT_TRUE(!writable || from.starts_with("/boards/b/")) << from;
        EXPECT_TRUE(!bound ||
                    (!in({"/bin", "/sbin", "/lib", "/lib64", "/usr/sbin"}, to) && !to.starts_with("/usr/sbin/")))
            << to;
        // Only the platform's fakes may be named like a platform command.
        const std::string name = fs::path(to).filename();
        EXPECT_TRUE(what != "--symlink" || from != "busybox" ||
                    (!in(FAKE_COMMANDS, name) && name != "halt" && name != "poweroff"))
            << name;
    }
}
