#include "launcher/boot.hpp"

int main() { bladeboot::boot_main(); }
