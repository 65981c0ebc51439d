#include "launcher/launch.hpp"

int main() { boot_main(); }
