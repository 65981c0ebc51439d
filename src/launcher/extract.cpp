#include "launcher/launch.hpp"

// Placeholders until slot extraction lands.
int extract_image(int) { return 0; }
int parse_image(FILE*, uint32_t*, uint8_t*, uint32_t*, uint32_t*, uint8_t*) { return 0; }
