// Runs the board contract on the seam it is linked with (bladesim's).
#include <cstdio>

#include "contract/board_contract.hpp"

int main()
{
    const std::string broken = board_contract();
    std::printf("%s\n", broken.empty() ? "board contract holds" : ("board contract broken: " + broken).c_str());
    return broken.empty() ? 0 : 1;
}
