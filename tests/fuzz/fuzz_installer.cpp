// The package installer over the NOR fake: any package, any answer to the
// slot question. Input: flags, answer length, answer, package.
//   bit 0: fix the CRCs   bits 1-2: the caller's slot (0, 1, 2)
//   bit 3: version check
#include <sys/stat.h>

#include <string>
#include <vector>

#include "harness.hpp"
#include "launcher/flash.hpp"
#include "launcher/i2c.hpp"
#include "launcher/image.hpp"
#include "launcher/installer.hpp"

using namespace bladeboot;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::require_sandbox();
    fuzz::Input in(data, size);
    const uint8_t flags = in.byte();
    const auto answer = in.take(in.byte() % 40);
    const auto body = in.rest();
    std::vector<uint8_t> package(body.begin(), body.end());
    if (flags & 1) fuzz::fix_crcs(package);

    fuzz::Board board;
    fuzz::limit_time(600'000'000);
    board.b().console.type(std::string(answer.begin(), answer.end()));
    // The EEPROM answers writes only with the protection released.
    BootState state;
    api_i2c_init(state.i2c);
    api_flash_init(state.mtd);
    fuzz::write_file("/tmp/package", package);
    const int32_t slot = (flags >> 1) & 3;
    try {
        const int result = processBladeImage(state, "/tmp/package", (flags & 8) ? 1 : 0, slot == 3 ? 0 : slot);
        if (result != 0 && result != 1) __builtin_trap();
    } catch (const fake::Exited&) {
    } catch (const fake::Execed&) {
    } catch (const fuzz::OutOfTime&) {
        __builtin_trap();
    }
    // Only an installed application may set the preferred slot, and only to 1 or 2.
    const uint8_t preferred = board.b().eeprom.mem[EEPROM_PREFERRED_SLOT];
    if (preferred != 0xFF && preferred != 1 && preferred != 2) __builtin_trap();
    return 0;
}
