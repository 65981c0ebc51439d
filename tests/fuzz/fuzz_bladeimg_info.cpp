// bladeimg's file walkers (info, info --json, verify, crc) over any file.
// Input: one byte choosing the command (bit 7: fix the CRCs), then the file.
#include "bladeimg/cli.hpp"
#include "harness.hpp"

void fuzz::one_input(Input in, fake::Board&)
{
    const uint8_t which = in.byte();
    write_file("/tmp/input.img", fixed_crcs(in.take(), which & 0x80));
    const char* command[] = {"info", "info", "verify", "crc"};
    const bool json = (which & 3) == 1;
    const char* argv[] = {"bladeimg", command[which & 3], json ? "--json" : "/tmp/input.img",
                          json ? "/tmp/input.img" : nullptr, nullptr};
    // 0 or 1: 2 is for bad arguments, and these are good.
    check(static_cast<unsigned>(bladeimg_main(json ? 4 : 3, const_cast<char**>(argv))) <= 1);
}
