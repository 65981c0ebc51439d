// The boot loader environment parser over a partition of any content.
#include <algorithm>

#include "harness.hpp"
#include "launcher/flash.hpp"
#include "launcher/launch.hpp"

using namespace bladeboot;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Board board;
    auto& bytes = board.b().part("/dev/mtd-ubootenv").bytes;
    std::copy_n(data, std::min(size, bytes.size()), bytes.begin());
    api_flash_init();
    parse_uboot_env();
    const bool flags_ok = (gdb_enable == 0 || gdb_enable == 1) && (gdbserver_enable == 0 || gdbserver_enable == 1) &&
                          shell_enable <= 1 && memchk_enable <= 1 && (rescue_enable == 0 || rescue_enable == 1) &&
                          (standalone_diags == 0 || standalone_diags == 1);
    // A debug server implies the debugger; rescue and diagnostics exclude each other.
    if (!flags_ok || (gdbserver_enable && !gdb_enable) || (rescue_enable && standalone_diags)) __builtin_trap();
    return 0;
}
