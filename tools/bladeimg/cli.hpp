// The bladeimg command line, as a function so that tests can run it in-process.
#pragma once

// Exit status: 0 done, 1 a file problem (or, for verify, a bad image), 2 bad arguments.
int bladeimg_main(int argc, char** argv);
