// bladesim's own parts, without a sandbox run: the command line, the command
// log's escaping, the boot loader environment, the EEPROM display, the sample
// board and the sandbox's command line.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <sstream>

#include "board.hpp"
#include "cli.hpp"
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
    for (const auto& w : o.assignments.empty() ? o.program : o.assignments) s << " " << w;
    return s.str();
}

}  // namespace

TEST(Args, CommandsOptionsAndUsageErrors)
{
    // Commands: run 2, setenv 3, eeprom 4, exec 5; speed 1 and timeout 300 by default.
    for (const auto& [line, options] : std::initializer_list<std::pair<const char*, const char*>>{
             {"exec b --speed 2 --timeout 7 -- sh -c --speed", "5 b 2 7 -1 -1 -1 sh -c --speed"},
             {"setenv b gdb=on shell=", "3 b 1 300 -1 -1 -1 gdb=on shell="}, {"--version", "6  1 300 -1 -1 -1"},
             {"eeprom b --usbboot 213 --preferred 0", "4 b 1 300 0 -1 213"}, {"init --help", "0  1 300 -1 -1 -1"}})
        EXPECT_EQ(parsed(line), options);
    for (const char* line : {"", "boot b", "run", "run --speed 2", "run b --speed", "run b --speed 0",
                             "run b --speed fast", "run b --timeout -1", "run b extra", "exec b", "exec b --",
                             "eeprom b --booted 256", "eeprom b --speed 2", "setenv b --timeout 2"})
        EXPECT_EQ(parsed(line), "refused") << line;
}

// The board's own files: the command log (one line per command, which reads
// back as exactly one command), the boot loader environment, the sample board;
// then setenv over it. The launcher reads the environment's bytes 4 to 1283:
// setenv refuses a variable that ends past them, and reports a bad CRC,
// keeping the block unless told to replace it.
TEST(BoardFiles, CommandLogEnvironmentSampleBoardAndSetenvKeepsWhatTheLauncherCannotSee)
{
    EXPECT_EQ(simboard::escape_command("cd /tmp \ntar x \necho a\\nb\\\n"), "cd /tmp \\ntar x \\necho a\\\\nb\\\\\\n");
    // zlib's CRC-32 of the data area, most significant byte first; sorted pairs; zeros.
    Environment vars{{"shell", "on"}, {"gdb", "on"}};
    auto block = *make_environment(vars, 64);
    EXPECT_EQ(std::string(block.begin() + 4, block.end()), std::string("gdb=on\0shell=on\0", 16) + std::string(44, 0));
    EXPECT_EQ(get_be32(block.data()), static_cast<uint32_t>(crc32(0, block.data() + 4, 60)));
    EXPECT_EQ(parse_environment(block), vars);
    // 4 + "a=" + 49 + 2 terminators: 57 bytes.
    for (size_t n : {49u, 50u}) EXPECT_EQ(make_environment({{"a", std::string(n, 'x')}}, 57).has_value(), n == 49);

    // Well-formed assignments take their road through whole boots.
    for (const char* bad : {"gdb", "=on", "my var=1"}) EXPECT_NE(apply_assignment(vars, bad), "") << bad;

    const fs::path dir = fs::temp_directory_path() / "bladesim-test-sample", env = dir / "flash" / "ubootenv.bin";
    fs::remove_all(dir);
    ASSERT_EQ(create_board(dir), "");
    for (const Partition& part : PARTITIONS) EXPECT_EQ(fs::file_size(dir / "flash" / part.file), part.size);
    std::vector<uint8_t> eeprom(65536, 0xFF);  // slot 1 preferred, none booted, no USB boot
    eeprom[256] = 1, eeprom[314] = eeprom[315] = 0;
    EXPECT_EQ(read_file(dir / "eeprom.bin"), eeprom);
    // The images, the boot loader partition and the empty environment take
    // their roads through whole boots (RescueUsbKernelThenVersions shows them all).
    EXPECT_NE(create_board(dir), "") << "an existing board is never overwritten";

    EXPECT_EQ(beyond_launcher({{"a", std::string(1278, 'x')}}), nullptr);
    EXPECT_EQ(*beyond_launcher({{"a", "1"}, {"b", std::string(1277, 'x')}}), "b");
    const auto setenv = [&](const std::string& line) {
        Args args = words("bladesim setenv " + dir.string() + " " + line);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        return bladesim_main(static_cast<int>(argv.size()), argv.data());
    };
    EXPECT_EQ(setenv("a=" + std::string(1279, 'x')), 2);
    block = *read_file(env);
    block[0] ^= 1;
    ASSERT_TRUE(write_file(env, block));
    EXPECT_EQ(setenv("gdb=on"), 1);
    EXPECT_EQ(read_file(env), block);
    EXPECT_EQ(setenv("--replace gdb=on"), 0);
    EXPECT_EQ(parse_environment(*read_file(env)), (Environment{{"gdb", "on"}}));
}

TEST(SandboxArgs, WritableOnlyBoardAndNoHostLinkNorBusyboxAtAPlatformCommandsName)
{
    const Tools tools{"/x/bladeboot-sim", "/x/service", "/x/rx", "/x/enter", "/x/board-bin", "/usr/bin/busybox"};
    const auto args = bwrap_args({"/boards/b", tools, {"/sim/bladeboot"}, 1, "", true, ""});
    // HostSafety reads /bin's fakes, /tmp and the capabilities back inside a
    // board; what it cannot see from there is /sbin and what else was bound.
    for (const std::string& f : FAKE_COMMANDS) EXPECT_EQ(std::ranges::count(args, "/sbin/" + f), 1) << f;
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
}
