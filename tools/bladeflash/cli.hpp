// The bladeflash command line, as a function the tests can reach.
#pragma once

// Exit status: 0 installed, 1 refused or failed, 2 bad arguments, 3 no answer in time.
int bladeflash_main(int argc, char** argv);
