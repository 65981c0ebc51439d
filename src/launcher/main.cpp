#include "launcher/boot.hpp"
#include "launcher/state.hpp"

int main()
{
    bladeboot::ignore_quit_and_stop();
    bladeboot::boot_main();
}
