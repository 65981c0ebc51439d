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

Args words(const std::string& line)
{
    std::istringstream in(line);
    return {std::istream_iterator<std::string>(in), {}};
}

// The options in one line: command, folder, speed, timeout, the three EEPROM
// settings (-1: not given), then each assignment and each program word.
std::string parsed(const std::string& line)
{
    const auto r = parse_args(words(line));
    if (!std::holds_alternative<Options>(r)) return "refused";
    const Options& o = std::get<Options>(r);
    std::ostringstream s;
    s << int(o.command) << " " << o.dir << " " << o.speed << " " << o.timeout;
    for (const auto& v : {o.preferred, o.booted, o.usbboot}) s << " " << (v ? int(*v) : -1);
    for (const auto& w : o.assignments) s << " " << w;
    for (const auto& w : o.program) s << " " << w;
    return s.str();
}

bool has_run(const Args& args, const std::string& run) { return !std::ranges::search(args, words(run)).empty(); }

}  // namespace

TEST(Args, CommandsOptionsAndUsageErrors)
{
    // Commands: help 0, run 2, setenv 3, eeprom 4, exec 5.
    const std::pair<const char*, const char*> cases[] = {
        {"run b --speed 100 --timeout 7", "2 b 100 7 -1 -1 -1"},
        {"run b", "2 b 1 300 -1 -1 -1"},
        {"exec b --speed 2 -- sh -c --speed", "5 b 2 300 -1 -1 -1 sh -c --speed"},
        {"setenv b gdb=on shell=", "3 b 1 300 -1 -1 -1 gdb=on shell="},
        {"eeprom b --usbboot 213 --preferred 0", "4 b 1 300 0 -1 213"},
        {"--help", "0  1 300 -1 -1 -1"}};
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
    EXPECT_EQ(simboard::escape_command("cd /tmp \ntar x \necho a\\nb\\\n"), "cd /tmp \\ntar x \\necho a\\\\nb\\\\\\n");
}

TEST(Environment, LayoutRoundTripAndAssignments)
{
    // zlib's CRC-32 of the data area, most significant byte first; sorted pairs; zeros.
    Environment vars{{"shell", "on"}, {"gdb", "on"}};
    auto block = *make_environment(vars, 64);
    EXPECT_EQ(std::string(block.begin() + 4, block.end()), std::string("gdb=on\0shell=on\0", 16) + std::string(44, 0));
    EXPECT_EQ(get_be32(block.data()), static_cast<uint32_t>(crc32(0, block.data() + 4, 60)));
    EXPECT_EQ(parse_environment(block), vars);
    block[10] ^= 1;
    EXPECT_FALSE(parse_environment(block).has_value()) << "a damaged block fails its CRC";
    // 4 + "a=" + 49 + 2 terminators: 57 bytes.
    EXPECT_FALSE(make_environment({{"a", std::string(50, 'x')}}, 57).has_value());
    EXPECT_EQ(parse_environment(*make_environment({{"a", std::string(49, 'x')}}, 57))->at("a"), std::string(49, 'x'));

    for (const char* bad : {"gdb", "=on", "my var=1"}) EXPECT_NE(apply_assignment(vars, bad), "") << bad;
    for (const char* good : {"gdbport=4321", "shell=", "gdb=a=b c"}) EXPECT_EQ(apply_assignment(vars, good), "");
    EXPECT_EQ(vars, (Environment{{"gdbport", "4321"}, {"gdb", "a=b c"}}));
}

TEST(SampleBoard, FilesImagesAndEepromDefaults)
{
    const fs::path dir = fs::temp_directory_path() / "bladesim-test-sample";
    ASSERT_EQ(create_board(dir), "");
    for (const Partition& part : PARTITIONS) EXPECT_EQ(fs::file_size(dir / "flash" / part.file), part.size);
    EXPECT_EQ(parse_environment(*read_file(dir / "flash/ubootenv.bin")), Environment{});
    EXPECT_TRUE(fs::is_directory(dir / "log") && !fs::exists(dir / "usb")) << "no stick unless the user puts one in";
    EXPECT_EQ(read_file(dir / "eeprom.bin"), initial_eeprom());
    EXPECT_EQ(std::ranges::count(initial_eeprom(), 0xFF), 65536 - 3);
    EXPECT_EQ(describe_eeprom(initial_eeprom()),
              "preferred slot (byte 256): 1\nbooted slot    (byte 314): 0\nUSB boot       (byte 315): 0\n");
    const std::string files[] = {"flash/devicetree.bin", "flash/kernel.bin",   "flash/rfs.bin",
                                 "flash/rescue.bin",     "user/images/image1", "user/images/image2"};
    const uint32_t types[] = {IMAGE_DFT, IMAGE_KERNEL, IMAGE_RFS, IMAGE_DIAGS, IMAGE_APPLICATION, IMAGE_APPLICATION};
    for (size_t i = 0; i < std::size(files); ++i) {
        const auto image = *read_file(dir / files[i]);
        const ImageGeometry g = image_geometry(image.data());
        const uint32_t version =
            i < 4 ? SAMPLE_SYSTEM_VERSION : 0x01000000u + static_cast<uint32_t>(i - 3);  // 1.0.0.slot
        EXPECT_TRUE(g.usable && g.type == types[i] && get_be32(&image[12]) == version && g.total_size <= image.size() &&
                    CheckCrc(image.data() + 4, g.total_size - 4, get_be32(image.data())) == 0)
            << files[i];
    }
    // The boot loader's header sits at byte 240 of its payload.
    const auto uboot = *read_file(dir / "flash/uboot.bin");
    EXPECT_EQ(std::tuple(get_be32(&uboot[248]), get_be32(&uboot[252]), uboot.back()),
              std::tuple(IMAGE_UBOOT, SAMPLE_SYSTEM_VERSION, uint8_t{0xFF}));
    EXPECT_NE(create_board(dir), "") << "an existing board is never overwritten";
}

TEST(SandboxArgs, RootWithTwoCapabilitiesWritableOnlyBoardAndTmpFakesAtEveryName)
{
    const Tools tools{"/x/bladeboot-sim", "/x/service", "/x/rx", "/x/enter", "/x/board-bin", "/usr/bin/busybox"};
    SandboxPlan plan{"/boards/b", tools, {"/sim/bladeboot"}, 1, "", true, ""};
    const auto args = bwrap_args(plan);
    EXPECT_EQ(std::ranges::count(args, "--cap-add"), 2);
    EXPECT_EQ(std::ranges::count(args, "--unshare-user"), 0) << "root needs no user namespace";
    for (const std::string& fake : FAKE_COMMANDS)
        for (const char* dir : {" /bin/", " /sbin/"})
            EXPECT_TRUE(has_run(args, "--symlink /sim/fakes/" + fake + dir + fake));
    for (const char* run : {"--cap-drop ALL --cap-add CAP_CHOWN --cap-add CAP_DAC_OVERRIDE", "--tmpfs /tmp",
                            "--bind /boards/b/user /user", "--bind /boards/b/flash/kernel.bin /dev/mtd-kernel",
                            "--dir /bin --dir /sbin --dir /usr/bin"})
        EXPECT_TRUE(has_run(args, run)) << run;
    // Writable: only the board's own files. No host link (/bin -> usr/bin and
    // the like) is bound over, nor anything under /usr/sbin. Only the
    // platform's fakes may be named like a platform command.
    const Args host_links{"/bin", "/sbin", "/lib", "/lib64", "/usr/sbin"}, taken{"halt", "poweroff"};
    for (size_t i = 0; i + 2 < args.size(); ++i) {
        const std::string &what = args[i], &from = args[i + 1], &to = args[i + 2], name = fs::path(to).filename();
        EXPECT_TRUE(
            (!(what == "--bind" || what == "--dev-bind") || from.starts_with("/boards/b/")) &&
            (!what.ends_with("bind") || (!std::ranges::count(host_links, to) && !to.starts_with("/usr/sbin/"))) &&
            (what != "--symlink" || from != "busybox" ||
             !(std::ranges::count(FAKE_COMMANDS, name) + std::ranges::count(taken, name))))
            << what << " " << from << " " << to;
    }
    plan.as_root = false;  // a user namespace then maps this user to root
    EXPECT_TRUE(has_run(bwrap_args(plan), "--unshare-user --uid 0 --gid 0"));
}
