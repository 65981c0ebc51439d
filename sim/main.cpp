#include "cli.hpp"

int main(int argc, char** argv) { return bladesim::bladesim_main(argc, argv); }
