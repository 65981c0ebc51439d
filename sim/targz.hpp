// A gzip-compressed tar archive in memory, enough for the sample images.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bladesim {

struct TarEntry {
    std::string path;     // relative, '/' separated; a directory ends in '/'
    std::string content;  // files only
    unsigned mode = 0644;
};

// ustar members owned by root, then gzip around the whole archive.
std::vector<uint8_t> tar_gz(const std::vector<TarEntry>& entries);

}  // namespace bladesim
