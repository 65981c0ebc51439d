#include "launcher/image.hpp"

// Placeholder until the package installer lands.
int processBladeImage(const char*, uint8_t, int32_t) { return 0; }
