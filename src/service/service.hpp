// bladeboot-service: the launcher's operations that no menu leads to, as
// subcommands of one program.
#pragma once

// argv[0] is the program name. Returns the exit status.
int service_main(int argc, char** argv);
