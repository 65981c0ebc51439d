// The package installer over the NOR fake: any package, any answer to the
// slot question. Input: flags, answer length, answer, package.
//   bit 0: fix the CRCs   bits 1-2: the caller's slot (0, 1, 2; 3 is 0)   bit 3: version check
#include "harness.hpp"
#include "launcher/i2c.hpp"
#include "launcher/installer.hpp"

void fuzz::one_input(Input in, fake::Board& b)
{
    const uint8_t flags = in.byte();
    for (uint8_t key : in.take(in.byte() % 40)) b.console.keys.push_back(key);  // the answer, typed
    write_file("/tmp/package", fixed_crcs(in.take(), flags & 1));
    // The EEPROM answers writes only with the protection released.
    BootState state;
    api_i2c_init(state.i2c);
    api_flash_init(state.mtd);
    road([&] { check(unsigned(processBladeImage(state, "/tmp/package", flags >> 3 & 1, (flags >> 1 & 3) % 3)) <= 1); });
    // Only an installed application may set the preferred slot, and only to 1 or 2.
    const uint8_t preferred = b.eeprom.mem[EEPROM_PREFERRED_SLOT];
    check(preferred == 0xFF || preferred == 1 || preferred == 2);
}
