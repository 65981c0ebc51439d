#include "bladeflash/cli.hpp"

int main(int argc, char** argv) { return bladeflash_main(argc, argv); }
