// The boot loader environment parser over a partition of any content.
#include "harness.hpp"
#include "launcher/boot_env.hpp"

void fuzz::one_input(Input in, fake::Board& b)
{
    auto& bytes = b.part("/dev/mtd-ubootenv").bytes;
    std::ranges::copy(in.take(bytes.size()), bytes.begin());
    BootState s;
    api_flash_init(s.mtd);
    parse_uboot_env(s);
    for (int flag : std::initializer_list<int>{s.gdb_enable, s.gdbserver_enable, s.shell_enable, s.memchk_enable,
                                               s.rescue_enable, s.standalone_diags})
        check(flag == 0 || flag == 1);
    // A debug server implies the debugger; rescue and diagnostics exclude each other.
    check((!s.gdbserver_enable || s.gdb_enable) && !(s.rescue_enable && s.standalone_diags));
}
