// Files and launches as the installer and rescue-boot tests need them.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fakes/fake_platform.hpp"

namespace testfiles {

inline void write_file(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline std::vector<uint8_t> pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 13 + i / 241);
    return v;
}

// launch_image ends in an exec of the starter or in a reboot; either way the
// call must not come back.
template <class F>
bool ends_in_launch(F&& call)
{
    try {
        call();
    } catch (const fake::Execed&) {
        return true;
    } catch (const fake::Exited&) {
        return true;
    }
    return false;
}

}  // namespace testfiles
