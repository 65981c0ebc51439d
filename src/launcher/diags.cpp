#include "launcher/launch.hpp"

// Placeholders until the diagnostics partition boot lands.
int run_standalone_diags() { return 1; }
int extract_image_from_flash() { return 0; }
