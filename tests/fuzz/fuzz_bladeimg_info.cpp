// bladeimg's file walkers (info, info --json, verify, crc) over any file.
// Input: one byte choosing the command, then the file.
#include <string>
#include <vector>

#include "bladeimg/cli.hpp"
#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::require_sandbox();
    fuzz::Input in(data, size);
    const uint8_t which = in.byte();
    const auto body = in.rest();
    std::vector<uint8_t> file(body.begin(), body.end());
    if (which & 0x80) fuzz::fix_crcs(file);
    fuzz::write_file("/tmp/input.img", file);

    std::vector<std::string> args{"bladeimg"};
    switch (which & 3) {
    case 0: args.insert(args.end(), {"info", "/tmp/input.img"}); break;
    case 1: args.insert(args.end(), {"info", "--json", "/tmp/input.img"}); break;
    case 2: args.insert(args.end(), {"verify", "/tmp/input.img"}); break;
    default: args.insert(args.end(), {"crc", "/tmp/input.img"}); break;
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int status = bladeimg_main(static_cast<int>(args.size()), argv.data());
    if (status != 0 && status != 1) __builtin_trap();  // 2 is for bad arguments, and these are good
    return 0;
}
