#include "launcher/state.hpp"
#include "service/service.hpp"

int main(int argc, char** argv)
{
    bladeboot::ignore_quit_and_stop();
    // Ctrl-C in a key read then ends the read, not the process: the
    // console's settings are put back on the way out.
    bladeboot::sig_init();
    return service_main(argc, argv);
}
