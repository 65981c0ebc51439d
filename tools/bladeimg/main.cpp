#include "bladeimg/cli.hpp"

int main(int argc, char** argv) { return bladeimg_main(argc, argv); }
