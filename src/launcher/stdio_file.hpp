// A FILE* that closes itself on every road out of a function.
#pragma once

#include <cstdio>
#include <memory>

namespace bladeboot {

struct StdioFileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using StdioFile = std::unique_ptr<FILE, StdioFileCloser>;

}  // namespace bladeboot
