#include "service/service.hpp"

#include <cstdio>
#include <cstring>

#include "launcher/mgmt.hpp"
#include "launcher/xmodem.hpp"

using namespace bladeboot;

namespace {

constexpr int EXIT_USAGE = 2;

int usage(const char* program, FILE* to = stderr)
{
    std::fprintf(to,
                 "usage: %s rx FILE          receive FILE over the serial console (XMODEM-1K)\n"
                 "       %s mgmt [--no-dhcp] configure the management port\n"
                 "       %s mac              enter the management port's MAC address\n",
                 program, program, program);
    return to == stderr ? EXIT_USAGE : 0;
}

int status(bool ok) { return ok ? 0 : 1; }

}  // namespace

int service_main(int argc, char** argv)
{
    const char* program = argc > 0 ? argv[0] : "bladeboot-service";
    if (argc < 2) return usage(program);
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) return usage(program, stdout);
    const char* command = argv[1];

    if (std::strcmp(command, "rx") == 0 && argc == 3) {
        bool completed = false;
        Xmodem1K(argv[2], &completed);
        return status(completed);
    }
    if (std::strcmp(command, "mgmt") == 0 && argc <= 3) {
        const bool no_dhcp = argc == 3 && std::strcmp(argv[2], "--no-dhcp") == 0;
        if (argc == 3 && !no_dhcp) return usage(program);
        return status(mgmt_port_setup(no_dhcp ? 0 : 1) == 1);
    }
    if (std::strcmp(command, "mac") == 0 && argc == 2) return status(run_mac_config() == 1);
    return usage(program);
}
