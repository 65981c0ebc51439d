// bladeimg's file walkers (info, info --json, verify, crc) over any file.
// Input: one byte choosing the command (bit 7: fix the CRCs), then the file.
#include "bladeimg/cli.hpp"
#include "harness.hpp"

void fuzz::one_input(Input& in, fake::Board&)
{
    const uint8_t which = in.byte();
    write_file("/tmp/input.img", fixed_crcs(in.take(), which & 0x80));
    const char* argv[][5] = {{"bladeimg", "info", "/tmp/input.img"}, {"bladeimg", "info", "--json", "/tmp/input.img"},
                             {"bladeimg", "verify", "/tmp/input.img"}, {"bladeimg", "crc", "/tmp/input.img"}};
    const int status = bladeimg_main((which & 3) == 1 ? 4 : 3, const_cast<char**>(argv[which & 3]));
    check(status == 0 || status == 1);  // 2 is for bad arguments, and these are good
}
