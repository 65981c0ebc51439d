#include "launcher/launch.hpp"

int main() { bladeboot::boot_main(); }
