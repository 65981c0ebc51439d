#include "launcher/boot_env.hpp"
#include "launcher/extract.hpp"
#include "launcher/launch.hpp"
#include "launcher/slot_file.hpp"
#include "launcher/usb_boot.hpp"
#include "support.hpp"

using namespace unit;

using Boot = BoardTest;

TEST_F(Boot, EnvironmentSwitchesAreSubstringsWithPrefixValuesAndFailingSlotsLeaveTheBoardAsItWas)
{
    // gdb, gdbserver, gdbport, shell, memchk, rescue, diagnostics
    using Flags = std::array<int, 7>;
    const std::pair<std::vector<std::string>, Flags> cases[] = {
        {{}, {0, 0, 1234, 0, 0, 0, 0}},
        {{"gdb=off", "gdbserver=on", "gdbport=4321"}, {1, 1, 4321, 0, 0, 0, 0}},
        {{"gdbserver=off", "gdb=onboard", "gdbport=12ab"}, {1, 0, 12, 0, 0, 0, 0}},
        {{"kgdb=on", "gdb=off", "gdbport=", "x=1"}, {1, 0, 1234, 0, 0, 0, 0}},
        {{"bootargs=shell=on", "shell=off", "memchk=on"}, {0, 0, 1234, 1, 1, 0, 0}},
        {{"diagnostics=rescue", "shell=ON"}, {0, 0, 1234, 0, 0, 1, 0}},
        {{"diagnostics=diagsX", "gdbport=99999999999"}, {0, 0, 1234, 0, 0, 0, 1}},
        {{"diagnostics=other", std::string(1400, 'x'), "shell=on"}, {0, 0, 1234, 0, 0, 0, 0}},
    };
    for (const auto& [vars, want] : cases) {
        Bytes block = {0xDE, 0xAD, 0xBE, 0xEF};  // the boot loader's checksum, then name=value\0 ...
        for (const auto& v : vars) block = block + bytes(v) + Bytes{0};
        block.resize(std::max<size_t>(block.size(), 4096), 0);
        fake::load_partition("/dev/mtd-ubootenv", 0, block);
        BootState s = st;  // the flags at their start values, every case
        parse_uboot_env(s);
        const Flags got{s.gdb_enable, s.gdbserver_enable, s.gdbport, s.shell_enable, s.memchk_enable, s.rescue_enable,
                        s.standalone_diags};
        EXPECT_EQ(got, want) << testing::PrintToString(vars);
    }

    // Roads that give up on a slot and hand the choice back (what a boot then
    // does next is the whole boots' to check), and a payload that cannot be
    // written, which is not launched.
    const Bytes kernel = image(IMAGE_KERNEL, "vmlinux"), good = app("image one payload");
    Bytes unusable = good;  // HDR3 header length just past len + 16
    put_be32(&unusable[16], HDR3_MARKER);
    put_be16(&unusable[22], 200);
    bladeimg::seal_image(unusable);
    const std::string invalid = ". (0x6504754)\nImage1 has invalid header... trying Image2.\n";
    const std::tuple<int, std::optional<Bytes>, std::string> slots[] = {
        {1, unusable, "Image1 CRC failed, trying Image2 now.\n"},
        {1, kernel + app("1234567"), "Image has invalid header 0x3504754" + invalid},
        {3, std::nullopt, "Failed to open application image from USB.\n"},
        {3, corrupt(good), "USB image CRC failed."},
        {3, kernel, "Error: USB image corrupted or belongs to another switch type.\n"},
        {4, good, ""},
    };
    for (const auto& [slot, file, err] : slots) {
        SetUp();
        st.tried_alt_image = slot == 3;
        st.shell_enable = 1;
        if (file) write_file(slot == 3 ? USB_IMAGE_PATH : slot == 2 ? SLOT2_PATH : SLOT1_PATH, *file);
        const Outcome o = run([&] { return extract_image(st, slot); });
        EXPECT_EQ(std::pair(o.result, o.err), std::pair(0, err));
        EXPECT_EQ(std::tuple(has(testing::PrintToString(b().commands), "/bin/sh"), read_file(APP_TARBALL),
                             int(eeprom(EEPROM_BOOTED_SLOT))),
                  std::tuple(false, std::string(), 0xFF));
    }
    SetUp();
    std::filesystem::create_symlink("/dev/full", APP_TARBALL);
    write_file(SLOT1_PATH, app("image one payload"));
    const Outcome o = run([&] { return extract_image(st, 1); });
    EXPECT_TRUE(o.rebooted() && o.err == "Failed to open application image output file.\n") << o.err;
    EXPECT_EQ(eeprom(EEPROM_BOOTED_SLOT), 0xFF);
}
