// bladesim's own parts, without a sandbox run: the command line, the command
// log's escaping, the boot loader environment, the EEPROM display, the sample
// board and the sandbox's command line.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "board.hpp"
#include "cli.hpp"
#include "launcher/crc.hpp"
#include "launcher/image.hpp"
#include "platform/sim_board.hpp"
#include "sandbox.hpp"

using namespace bladeboot;

using namespace bladesim;

namespace {

Options parsed(const std::vector<std::string>& args)
{
    auto result = parse_args(args);
    if (auto* error = std::get_if<std::string>(&result)) ADD_FAILURE() << *error;
    return std::get_if<Options>(&result) ? std::get<Options>(result) : Options{};
}

bool refused(const std::vector<std::string>& args) { return std::holds_alternative<std::string>(parse_args(args)); }

fs::path scratch(const std::string& name)
{
    const fs::path dir = fs::temp_directory_path() / ("bladesim-test-" + name);
    fs::remove_all(dir);
    return dir;
}

bool image_crc_ok(const std::vector<uint8_t>& image)
{
    const ImageGeometry g = image_geometry(image.data());
    return g.usable && g.total_size == image.size() &&
           CheckCrc(image.data() + 4, g.total_size - 4, get_be32(image.data())) == 0;
}

}  // namespace

// --- command line -----------------------------------------------------------

TEST(Args, CommandsAndTheirOptions)
{
    const Options run = parsed({"run", "b", "--speed", "100", "--timeout", "7"});
    EXPECT_EQ(run.command, Command::run);
    EXPECT_EQ(run.dir, "b");
    EXPECT_EQ(run.speed, 100u);
    EXPECT_EQ(run.timeout, 7u);

    const Options defaults = parsed({"run", "b"});
    EXPECT_EQ(defaults.speed, 1u);
    EXPECT_EQ(defaults.timeout, 300u);

    const Options exec = parsed({"exec", "b", "--speed", "2", "--", "sh", "-c", "--speed"});
    EXPECT_EQ(exec.program, (std::vector<std::string>{"sh", "-c", "--speed"}));
    EXPECT_EQ(exec.speed, 2u);

    const Options env = parsed({"setenv", "b", "gdb=on", "shell="});
    EXPECT_EQ(env.assignments, (std::vector<std::string>{"gdb=on", "shell="}));

    const Options eeprom = parsed({"eeprom", "b", "--usbboot", "213", "--preferred", "0"});
    EXPECT_EQ(eeprom.usbboot, 213);
    EXPECT_EQ(eeprom.preferred, 0);
    EXPECT_FALSE(eeprom.booted.has_value());

    EXPECT_EQ(parsed({"--help"}).command, Command::help);
}

TEST(Args, UsageErrors)
{
    const std::vector<std::vector<std::string>> cases{
        {},
        {"boot", "b"},
        {"run"},
        {"run", "--speed", "2"},
        {"run", "b", "--speed"},
        {"run", "b", "--speed", "0"},
        {"run", "b", "--speed", "fast"},
        {"run", "b", "--timeout", "-1"},
        {"run", "b", "extra"},
        {"exec", "b"},
        {"exec", "b", "--"},
        {"exec", "b", "sh"},
        {"eeprom", "b", "--booted", "256"},
        {"eeprom", "b", "--speed", "2"},
        {"init", "b", "--speed", "2"},
        {"setenv", "b", "--timeout", "2"},
    };
    for (const auto& args : cases) EXPECT_TRUE(refused(args)) << testing::PrintToString(args);
}

// --- command log ---------------------------------------------------------------

TEST(CommandLog, OneLinePerCommandReadsBackUnambiguously)
{
    const std::pair<std::string, std::string> cases[] = {
        {"reboot", "reboot"},
        {"/bin/sh\n", "/bin/sh\\n"},
        {"cd /tmp \ntar mxzf x \n", "cd /tmp \\ntar mxzf x \\n"},
        {"echo a\\nb", "echo a\\\\nb"},
        {"\\\n", "\\\\\\n"},
        {"", ""},
    };
    for (const auto& [command, line] : cases) EXPECT_EQ(simboard::escape_command(command), line) << command;
}

// --- boot loader environment ----------------------------------------------------

TEST(Environment, LayoutIsCrcThenSortedPairs)
{
    const auto block = make_environment({{"shell", "on"}, {"gdb", "on"}}, 64);
    ASSERT_TRUE(block.has_value());
    ASSERT_EQ(block->size(), 64u);
    const std::string data(block->begin() + 4, block->end());
    EXPECT_EQ(data.substr(0, 16), std::string("gdb=on\0shell=on\0\0", 16));
    EXPECT_TRUE(std::all_of(block->begin() + 20, block->end(), [](uint8_t b) { return b == 0; }));
    // zlib's CRC-32 of the data area, most significant byte first.
    const uLong crc = crc32(0, block->data() + 4, 60);
    EXPECT_EQ(get_be32(block->data()), static_cast<uint32_t>(crc));
}

TEST(Environment, RoundTripAndRefusals)
{
    const Environment vars{{"diagnostics", "rescue"}, {"bootargs", "console=ttyS0 shell=on"}};
    auto block = make_environment(vars, 128u << 10);
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(parse_environment(*block), vars);

    (*block)[10] ^= 1;
    EXPECT_FALSE(parse_environment(*block).has_value()) << "a damaged block fails its CRC";

    EXPECT_FALSE(make_environment({{"a", std::string(50, 'x')}}, 56).has_value());
    EXPECT_TRUE(make_environment({{"a", std::string(49, 'x')}}, 57).has_value());
    EXPECT_EQ(parse_environment(*make_environment({}, 16)), Environment{});
}

TEST(Environment, Assignments)
{
    Environment vars{{"gdb", "on"}};
    EXPECT_EQ(apply_assignment(vars, "gdbport=4321"), "");
    EXPECT_EQ(apply_assignment(vars, "gdb="), "");
    EXPECT_EQ(apply_assignment(vars, "bootargs=a=b c"), "");
    EXPECT_EQ(vars, (Environment{{"gdbport", "4321"}, {"bootargs", "a=b c"}}));

    for (const char* bad : {"gdb", "=on", "my var=1"}) {
        EXPECT_NE(apply_assignment(vars, bad), "") << bad;
    }
    EXPECT_EQ(vars.size(), 2u);
}

// --- EEPROM ----------------------------------------------------------------------

TEST(Eeprom, InitialSettingsAndDisplay)
{
    auto eeprom = initial_eeprom();
    ASSERT_EQ(eeprom.size(), 65536u);
    EXPECT_EQ(eeprom[256], 1);
    EXPECT_EQ(eeprom[314], 0);
    EXPECT_EQ(eeprom[315], 0);
    EXPECT_EQ(std::count(eeprom.begin(), eeprom.end(), 0xFF), 65536 - 3);

    EXPECT_EQ(describe_eeprom(eeprom),
              "preferred slot (byte 256): 1\nbooted slot    (byte 314): 0\nUSB boot       (byte 315): 0\n");
    eeprom[315] = 213;
    EXPECT_TRUE(describe_eeprom(eeprom).find("213 (boot from USB requested)") != std::string::npos);
}

// --- sample board -------------------------------------------------------------------

TEST(SampleBoard, FilesAndImages)
{
    const fs::path dir = scratch("sample");
    ASSERT_EQ(create_board(dir), "");

    for (const Partition& part : PARTITIONS) EXPECT_EQ(fs::file_size(dir / "flash" / part.file), part.size);
    EXPECT_EQ(read_file(dir / "eeprom.bin"), initial_eeprom());
    EXPECT_EQ(parse_environment(*read_file(dir / "flash/ubootenv.bin")), Environment{});
    EXPECT_TRUE(fs::is_directory(dir / "log"));
    EXPECT_FALSE(fs::exists(dir / "usb")) << "no stick unless the user puts one in";

    for (int slot : {1, 2}) {
        const auto image = *read_file(dir / "user/images" / ("image" + std::to_string(slot)));
        EXPECT_TRUE(image_crc_ok(image));
        EXPECT_EQ(get_be32(&image[8]), IMAGE_APPLICATION);
        EXPECT_EQ(get_be32(&image[12]), 0x01000000u + static_cast<uint32_t>(slot));
    }
    const std::pair<const char*, uint32_t> flashed[] = {{"devicetree.bin", IMAGE_DFT},
                                                        {"kernel.bin", IMAGE_KERNEL},
                                                        {"rfs.bin", IMAGE_RFS},
                                                        {"rescue.bin", IMAGE_DIAGS}};
    for (const auto& [file, type] : flashed) {
        auto bytes = *read_file(dir / "flash" / file);
        const ImageGeometry g = image_geometry(bytes.data());
        bytes.resize(g.total_size);
        EXPECT_TRUE(image_crc_ok(bytes)) << file;
        EXPECT_EQ(g.type, type) << file;
        EXPECT_EQ(get_be32(&bytes[12]), SAMPLE_SYSTEM_VERSION) << file;
    }
    // The boot loader's version sits at byte 240 of its payload.
    const auto uboot = *read_file(dir / "flash/uboot.bin");
    EXPECT_EQ(get_be32(&uboot[240 + 8]), IMAGE_UBOOT);
    EXPECT_EQ(get_be32(&uboot[240 + 12]), SAMPLE_SYSTEM_VERSION);
    EXPECT_EQ(uboot.back(), 0xFF);

    EXPECT_NE(create_board(dir), "") << "an existing board is never overwritten";
    fs::remove_all(dir);
}

// --- the sandbox's command line ---------------------------------------------------

namespace {

SandboxPlan spec_for(const fs::path& board)
{
    SandboxPlan plan;
    plan.board = board;
    plan.tools = {"/x/bladeboot-sim", "/x/service", "/x/rx", "/x/enter", "/x/board-bin", "/usr/bin/busybox"};
    plan.program = {"/sim/bladeboot"};
    plan.speed = 100;
    return plan;
}

bool has_run(const std::vector<std::string>& args, const std::vector<std::string>& run)
{
    return std::search(args.begin(), args.end(), run.begin(), run.end()) != args.end();
}

// Destinations of every bind, in the order given.
std::vector<std::string> bind_targets(const std::vector<std::string>& args)
{
    std::vector<std::string> targets;
    for (size_t i = 0; i + 2 < args.size(); ++i) {
        if (args[i] == "--bind" || args[i] == "--ro-bind" || args[i] == "--dev-bind") targets.push_back(args[i + 2]);
    }
    return targets;
}

}  // namespace

TEST(SandboxArgs, BoardRunsAsRootWithTwoCapabilities)
{
    const auto args = bwrap_args(spec_for("/boards/b"));
    EXPECT_TRUE(has_run(args, {"--cap-drop", "ALL", "--cap-add", "CAP_CHOWN", "--cap-add", "CAP_DAC_OVERRIDE"}));
    EXPECT_EQ(std::count(args.begin(), args.end(), "--cap-add"), 2);
    EXPECT_FALSE(has_run(args, {"--unshare-user"})) << "root needs no user namespace";

    SandboxPlan user = spec_for("/boards/b");
    user.as_root = false;
    EXPECT_TRUE(has_run(bwrap_args(user), {"--unshare-user", "--uid", "0", "--gid", "0"}));
}

TEST(SandboxArgs, WritableOnlyTheBoardFolderAndTmp)
{
    const auto args = bwrap_args(spec_for("/boards/b"));
    for (size_t i = 0; i + 2 < args.size(); ++i) {
        if (args[i] != "--bind" && args[i] != "--dev-bind") continue;
        EXPECT_EQ(args[i + 1].rfind("/boards/b/", 0), 0u) << args[i + 1] << " -> " << args[i + 2];
    }
    EXPECT_TRUE(has_run(args, {"--tmpfs", "/tmp"}));
    EXPECT_TRUE(has_run(args, {"--bind", "/boards/b/user", "/user"}));
    EXPECT_TRUE(has_run(args, {"--bind", "/boards/b/flash/kernel.bin", "/dev/mtd-kernel"}));
}

TEST(SandboxArgs, FakesStandAtEveryNameAndNoHostLinkIsBoundOver)
{
    const auto args = bwrap_args(spec_for("/boards/b"));
    for (const std::string& fake : FAKE_COMMANDS) {
        EXPECT_TRUE(has_run(args, {"--symlink", "/sim/fakes/" + fake, "/bin/" + fake})) << fake;
        EXPECT_TRUE(has_run(args, {"--symlink", "/sim/fakes/" + fake, "/sbin/" + fake})) << fake;
    }
    EXPECT_TRUE(has_run(args, {"--dir", "/bin", "--dir", "/sbin", "--dir", "/usr/bin"}));
    const std::set<std::string> host_links{"/bin", "/sbin", "/lib", "/lib64", "/usr/sbin"};
    for (const std::string& target : bind_targets(args)) {
        EXPECT_EQ(host_links.count(target), 0u) << target;
        EXPECT_NE(target.rfind("/usr/sbin/", 0), 0u) << target;
    }
    // Only the platform's fakes may be named like a platform command.
    for (size_t i = 0; i + 2 < args.size(); ++i) {
        if (args[i] != "--symlink" || args[i + 1] != "busybox") continue;
        const std::string name = fs::path(args[i + 2]).filename();
        EXPECT_EQ(std::count(FAKE_COMMANDS.begin(), FAKE_COMMANDS.end(), name), 0) << name;
        EXPECT_NE(name, "halt");
        EXPECT_NE(name, "poweroff");
    }
}
