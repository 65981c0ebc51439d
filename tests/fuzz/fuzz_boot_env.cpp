// The boot loader environment parser over a partition of any content.
#include <algorithm>

#include "harness.hpp"
#include "launcher/flash.hpp"
#include "launcher/boot_env.hpp"

using namespace bladeboot;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Board board;
    auto& bytes = board.b().part("/dev/mtd-ubootenv").bytes;
    std::copy_n(data, std::min(size, bytes.size()), bytes.begin());
    BootState s;
    api_flash_init(s.mtd);
    parse_uboot_env(s);
    const bool flags_ok = (s.gdb_enable == 0 || s.gdb_enable == 1) && (s.gdbserver_enable == 0 || s.gdbserver_enable == 1) &&
                          s.shell_enable <= 1 && s.memchk_enable <= 1 && (s.rescue_enable == 0 || s.rescue_enable == 1) &&
                          (s.standalone_diags == 0 || s.standalone_diags == 1);
    // A debug server implies the debugger; rescue and diagnostics exclude each other.
    if (!flags_ok || (s.gdbserver_enable && !s.gdb_enable) || (s.rescue_enable && s.standalone_diags)) __builtin_trap();
    return 0;
}
