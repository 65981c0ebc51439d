#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "fakes/fake_platform.hpp"
#include "launcher/flash.hpp"
#include "launcher/launch.hpp"

using namespace bladeboot;

namespace {

constexpr const char* ENV = "/dev/mtd-ubootenv";

struct Flags {
    int gdb = 0;
    int gdbserver = 0;
    int port = 1234;
    int shell = 0;
    int memchk = 0;
    int rescue = 0;
    int diags = 0;
    bool operator==(const Flags&) const = default;
    friend std::ostream& operator<<(std::ostream& os, const Flags& f)
    {
        return os << "gdb " << f.gdb << " gdbserver " << f.gdbserver << " port " << f.port << " shell " << f.shell
                  << " memchk " << f.memchk << " rescue " << f.rescue << " diags " << f.diags;
    }
};

Flags boot_flags()
{
    return {gdb_enable, gdbserver_enable, gdbport, shell_enable, memchk_enable, rescue_enable, standalone_diags};
}

// A boot loader environment block: checksum, then name=value strings, the
// rest zero.
std::vector<uint8_t> environment(const std::vector<std::string>& vars)
{
    std::vector<uint8_t> block = {0xDE, 0xAD, 0xBE, 0xEF};
    for (const auto& v : vars) {
        block.insert(block.end(), v.begin(), v.end());
        block.push_back(0);
    }
    block.resize(std::max<size_t>(block.size(), 4096), 0);
    return block;
}

class BootEnvTest : public fake::BoardTest {
protected:
    void SetUp() override
    {
        fake::BoardTest::SetUp();
        api_flash_init();
    }
    Flags parse(const std::vector<std::string>& vars)
    {
        fake::load_partition(ENV, 0, environment(vars));
        parse_uboot_env();
        return boot_flags();
    }
};

struct EnvCase {
    const char* name;
    std::vector<std::string> vars;
    Flags expected;
    friend void PrintTo(const EnvCase& c, std::ostream* os) { *os << c.name; }
};

class BootEnvFlags : public BootEnvTest, public testing::WithParamInterface<EnvCase> {};

TEST_P(BootEnvFlags, FromVariables) { EXPECT_EQ(parse(GetParam().vars), GetParam().expected); }

const std::string filler = "bootargs=" + std::string(1262, 'a');  // with its zero, ends at text byte 1272

const EnvCase env_cases[] = {
    {"Empty", {}, {}},
    {"GdbserverForcesGdb", {"gdb=off", "gdbserver=on"}, {.gdb = 1, .gdbserver = 1}},
    {"GdbWithoutServer", {"gdb=on", "gdbserver=off"}, {.gdb = 1}},
    {"PrefixAndCase", {"gdb=onboard", "shell=ON", "memchk=on"}, {.gdb = 1, .memchk = 1}},
    {"Rescue", {"diagnostics=rescue"}, {.rescue = 1}},
    {"Diags", {"diagnostics=diagsmode"}, {.diags = 1}},
    {"OtherDiagnostics", {"diagnostics=none"}, {}},
    {"Port", {"gdbport=4321"}, {.port = 4321}},
    {"PortEmptyBeforeMore", {"gdbport=", "shell=on"}, {.shell = 1}},
    {"PortEmptyAtEnd", {"gdbport="}, {}},
    {"PortTrailingLetters", {"gdbport=12ab"}, {.port = 12}},
    {"PortTooLarge", {"gdbport=99999999999"}, {}},
    {"KeyInsideLongerName", {"kgdb=on", "gdb=off"}, {.gdb = 1}},
    {"KeyInsideAValue", {"bootargs=console=ttyS0 shell=on", "shell=off"}, {.shell = 1}},
    {"LastVariableInsideTheWindow", {filler, "shell=on"}, {.shell = 1}},
    {"VariableBeyondTheWindow", {filler + "12345678", "shell=on"}, {}},
};

INSTANTIATE_TEST_SUITE_P(BootEnv, BootEnvFlags, testing::ValuesIn(env_cases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(BootEnvTest, ChecksumIsNotPartOfTheText)
{
    auto block = environment({"onion=1"});
    std::copy_n("gdb=", 4, block.begin());
    fake::load_partition(ENV, 0, block);
    parse_uboot_env();
    EXPECT_EQ(gdb_enable, 0);
}

TEST_F(BootEnvTest, UnreadablePartitionKeepsDefaults)
{
    const auto block = environment({"gdb=on", "shell=on", "diagnostics=rescue", "gdbport=1"});
    fake::load_partition(ENV, 0, block);

    b().part(ENV).fail_read_at = 1;
    parse_uboot_env();
    EXPECT_EQ(boot_flags(), Flags{});

    fake::reset();
    b().part(ENV).open_fails = true;
    api_flash_init();
    testing::internal::CaptureStdout();
    parse_uboot_env();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Could not get MTD device info \n");
    EXPECT_EQ(boot_flags(), Flags{});
}

}  // namespace
