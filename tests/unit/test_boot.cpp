#include <csignal>

#include "launcher/boot.hpp"
#include "launcher/boot_env.hpp"
#include "launcher/extract.hpp"
#include "launcher/launch.hpp"
#include "launcher/slot_file.hpp"
#include "launcher/usb_boot.hpp"
#include "support.hpp"

using namespace unit;

namespace {

const std::string one = "image one payload";

// Bytes the boot loader keeps after its 4-byte checksum: name=value\0 ...
Bytes environment(const std::vector<std::string>& vars)
{
    Bytes block = {0xDE, 0xAD, 0xBE, 0xEF};
    for (const auto& v : vars) block = block + bytes(v) + Bytes{0};
    block.resize(std::max<size_t>(block.size(), 4096), 0);
    return block;
}

class Boot : public BoardTest {
protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        write_file("/tmp/home/bin/distro-id", "");
    }
    Outcome extract(int slot) { return run([&] { return extract_image(st, slot); }); }
};

}  // namespace

TEST(Signal, CtrlCOnlyRaisesTheFlagAndInterruptsReads)
{
    sig_quit_raised = 0;
    ASSERT_EQ(sig_init(), 0);
    struct sigaction installed {};
    sigaction(SIGINT, nullptr, &installed);
    EXPECT_EQ(installed.sa_flags & SA_RESTART, 0) << "a blocked console read must end";
    std::raise(SIGINT);
    EXPECT_EQ(sig_quit_raised, 1);
    std::signal(SIGINT, SIG_DFL);
}

TEST_F(Boot, EnvironmentSwitchesAreSubstringsWithPrefixValues)
{
    // gdb, gdbserver, gdbport, shell, memchk, rescue, diagnostics
    using Flags = std::array<int, 7>;
    const struct {
        std::vector<std::string> vars;
        Flags want;
    } cases[] = {
        {{}, {0, 0, 1234, 0, 0, 0, 0}},
        {{"gdb=off", "gdbserver=on", "gdbport=4321"}, {1, 1, 4321, 0, 0, 0, 0}},
        {{"gdbserver=off", "gdb=onboard", "gdbport=12ab"}, {1, 0, 12, 0, 0, 0, 0}},
        {{"kgdb=on", "gdb=off", "gdbport=", "x=1"}, {1, 0, 1234, 0, 0, 0, 0}},
        {{"bootargs=shell=on", "shell=off", "memchk=on"}, {0, 0, 1234, 1, 1, 0, 0}},
        {{"diagnostics=rescue", "shell=ON"}, {0, 0, 1234, 0, 0, 1, 0}},
        {{"diagnostics=diagsX", "gdbport=99999999999"}, {0, 0, 1234, 0, 0, 0, 1}},
        {{"diagnostics=other", std::string(1400, 'x'), "shell=on"}, {0, 0, 1234, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.vars.empty() ? "empty" : c.vars[0]);
        fake::load_partition("/dev/mtd-ubootenv", 0, environment(c.vars));
        BootState s;
        s.mtd = st.mtd;
        parse_uboot_env(s);
        EXPECT_EQ((Flags{s.gdb_enable, s.gdbserver_enable, s.gdbport, s.shell_enable, s.memchk_enable, s.rescue_enable,
                         s.standalone_diags}),
                  c.want);
    }
    BootState unread;  // the partition did not open
    run([&] { return parse_uboot_env(unread); });
    EXPECT_EQ(unread.gdbport, 1234);
}

enum End { returned, rebooted, rescued, launched };

TEST_F(Boot, SlotRoadsEndAsTheirFailureAndTheTryDecide)
{
    Bytes unusable = app(one);  // HDR3 header length past len + 16
    put_be32(&unusable[16], HDR3_MARKER);
    put_be16(&unusable[22], 200);
    bladeimg::seal_image(unusable);
    const Bytes kernel = image(IMAGE_KERNEL, "vmlinux"), good = app(one);
    const struct {
        int slot;
        std::optional<Bytes> file;
        bool tried;
        const char* err;
        End end;
    } cases[] = {
        {1, kernel + app(one), false, "", launched},
        {1, corrupt(app(one)), false, "Image1 CRC failed, trying Image2 now.\n", returned},
        {2, Bytes(good.begin(), good.end() - 1), false, "Image2 CRC failed, trying Image1 now.\n", returned},
        {1, unusable, false, "Image1 CRC failed, trying Image2 now.\n", returned},
        {1, kernel + app("1234567"), false,
         "Image has invalid header 0x3504754. (0x6504754)\nImage1 has invalid header... trying Image2.\n", returned},
        {1, Bytes{}, false, "Image has invalid header 0x0. (0x6504754)\nImage1 has invalid header... trying Image2.\n",
         returned},
        {1, corrupt(app(one)), true, "Both image1 and image2 failed.\n", rebooted},
        {2, kernel, true, "No valid application image found. Trying rescue image\n", rescued},
        {1, std::nullopt, false, "Failed to open Application image 1. Trying image 2.\nFailed to open Application image 2.\n",
         rescued},
        {3, std::nullopt, true, "Failed to open application image from USB.\n", returned},
        {3, corrupt(app(one)), true, "USB image CRC failed.", returned},
        {3, kernel, true, "Error: USB image corrupted or belongs to another switch type.\n", returned},
        {4, app(one), false, "", returned},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.slot << " " << c.err);
        SetUp();
        st.tried_alt_image = c.tried;
        st.shell_enable = 1;
        if (c.file) write_file(c.slot == 3 ? USB_IMAGE_PATH : c.slot == 2 ? SLOT2_PATH : SLOT1_PATH, *c.file);
        const Outcome o = extract(c.slot);
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(o.result, c.end == returned ? 0 : -1);
        EXPECT_EQ(o.rebooted(), c.end == rebooted || c.end == rescued);
        EXPECT_EQ(has(o.out, "Entering Rescue Mode."), c.end == rescued);
        EXPECT_EQ(!b().commands.empty() && b().commands.front() == "/bin/sh\n", c.end != returned && c.end != launched);
        if (c.end == launched || (c.end == returned && c.slot < 3 && c.file)) {
            EXPECT_EQ(read_file(APP_TARBALL), c.end == launched ? one : "");
        }
        EXPECT_EQ(eeprom(EEPROM_BOOTED_SLOT), c.end == launched ? 1 : 0xFF);
    }
}

TEST_F(Boot, PayloadThatCannotBeWrittenIsNotLaunched)
{
    std::filesystem::create_symlink("/dev/full", APP_TARBALL);
    write_file(SLOT1_PATH, app(one));
    const Outcome o = extract(1);
    ASSERT_TRUE(o.rebooted());
    EXPECT_EQ(o.err, "Failed to open application image output file.\n");
    EXPECT_EQ(eeprom(EEPROM_BOOTED_SLOT), 0xFF);
}
