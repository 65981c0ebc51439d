#include "launcher/mgmt.hpp"

#include <arpa/inet.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "launcher/console.hpp"
#include "launcher/state.hpp"
#include "launcher/util.hpp"
#include "platform/platform.hpp"

namespace bladeboot {

namespace {

constexpr int ANSWER_SIZE = 128;
constexpr int MAC_ANSWER_SIZE = 18;  // "nn:nn:nn:nn:nn:nn" and the zero
constexpr char MGMT_IFNAME[] = "eth0";
constexpr int CONFIGURE_DOTS = 20;
constexpr char MAC_PROMPT[] = "MAC address (format nn:nn:nn:nn:nn:nn): ";

// Ctrl-C is seen only once the line is finished, since the editor keeps
// going after the interrupt; 'q' is the documented way out.
bool operator_quit(const char* line) { return sig_quit_raised || line[0] == 'q' || line[0] == 'Q'; }

// The static road's settling time: the dots show the board is not hung.
void wait_for_port()
{
    std::printf("Configuring management port...");
    for (int i = 0; i < CONFIGURE_DOTS; ++i) {
        plat::sleep(1);
        std::putchar('.');
        std::fflush(stdout);
    }
    std::putchar('\n');
    plat::sleep(1);
}

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket()
    {
        if (fd_ >= 0) plat::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

// The MAC line goes into a root shell command as typed: besides the six hex
// fields it may hold only what such fields can be written with.
bool mac_text_is_plain(const char* line)
{
    for (const char* p = line; *p; ++p)
        if (!std::isxdigit(static_cast<unsigned char>(*p)) && !std::strchr(":xX+- \t", *p)) return false;
    return true;
}

}  // namespace

int mgmt_port_setup(uint8_t dhcp_allowed)
{
    in_addr ip{}, netmask{}, gateway{};
    uint8_t dhcp = 0;
    if (!mgmt_port_params(&dhcp, &ip, &netmask, &gateway, dhcp_allowed)) return 0;
    return mgmt_port_configure(dhcp, '0', ip, netmask, gateway);
}

int mgmt_port_params(uint8_t* dhcp, in_addr* ip, in_addr* netmask, in_addr* gateway, uint8_t dhcp_allowed)
{
    *dhcp = 0;
    struct stat st {};
    if (dhcp_allowed && ::stat(DHCLIENT_PATH, &st) == 0) {
        std::printf("Confirm: Use DHCP for network configuration? y/N: ");
        std::fflush(stdout);
        char answer[ANSWER_SIZE];
        get_user_input(answer, ANSWER_SIZE);
        if (sig_quit_raised) return 0;
        if (std::toupper(static_cast<unsigned char>(answer[0])) == 'Y') *dhcp = 1;
        std::putchar('\n');
    }
    if (*dhcp) return 1;

    if (!get_ip_addr("IP addr    :", ip, 1, 1)) return 0;
    if (!get_ip_addr("Netmask    :", netmask, 0, 0)) return 0;
    if (!get_ip_addr("Gateway    :", gateway, 0, 1)) return 0;
    return 1;
}

int get_ip_addr(const char* prompt, in_addr* address, uint8_t required, uint8_t validate)
{
    for (;;) {
        std::printf("%s", prompt);
        std::fflush(stdout);
        char line[ANSWER_SIZE];
        // A refused answer is asked again; once the console has no more
        // input that would repeat for ever, so the dialogue gives up instead.
        const bool more = read_line(line, ANSWER_SIZE);
        if (operator_quit(line)) return 0;
        if (line[0] == '\0' && !required) return 1;
        // Stored only once accepted: a refused gateway followed by an empty
        // answer must not end up in the route command.
        in_addr typed{};
        if (!inet_aton(line, &typed)) {
            std::puts("Invalid IP address. Try again please");
            if (!more) return 0;
            continue;
        }
        if (validate && !verify_ip_address(typed.s_addr)) {
            std::printf("Invalid IP address %s. Try again please\n", line);
            if (!more) return 0;
            continue;
        }
        *address = typed;
        return 1;
    }
}

int verify_ip_address(in_addr_t address)
{
    const uint32_t first_octet = ntohl(address) >> 24;
    // 0.x.x.x is "this network", 240 and up reserved and broadcast.
    return first_octet != 0 && first_octet < 240 ? 1 : 0;
}

int mgmt_port_configure(uint8_t dhcp, char port, in_addr& ip, in_addr& netmask, in_addr& gateway)
{
    if (dhcp) {
        run_formatted("dhclient -1 eth%c", port);
        plat::sleep(3);
    } else {
        run_formatted("ifconfig eth%c %s\n", port, inet_ntoa(ip));
        if (netmask.s_addr != 0) {
            const char* dotted = inet_ntoa(netmask);
            std::printf("\tNetmask    : %s\n", dotted);
            run_formatted("ifconfig eth%c down\n", port);
            run_formatted("ifconfig eth%c netmask %s\n", port, dotted);
            run_formatted("ifconfig eth%c up\n", port);
        }
        plat::sleep(5);
        if (gateway.s_addr != 0) {
            const char* dotted = inet_ntoa(gateway);
            std::printf("\tGateway    : %s\n", dotted);
            run_formatted("route add default gw %s\n", dotted);
        }
        wait_for_port();
    }
    if (port == '0' && !mgmt_link_status(port)) {
        std::puts("Mgmt link not available. Quitting.");
        return 0;
    }
    return 1;
}

int mgmt_link_status(char)
{
    const Socket sock{plat::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    if (sock.fd() < 0) {
        std::puts("Raw Socket open error");
        return 0;
    }
    ifreq req{};
    std::strncpy(req.ifr_name, MGMT_IFNAME, sizeof req.ifr_name - 1);
    if (plat::ioctl_ifreq(sock.fd(), SIOCGIFINDEX, &req) < 0) {
        std::printf("Open Interface %s error.\n", MGMT_IFNAME);
        return 0;
    }
    if (plat::ioctl_ifreq(sock.fd(), SIOCGIFFLAGS, &req) < 0) {
        std::puts("Open flags error.");
        return 0;
    }
    const auto flags = static_cast<unsigned short>(req.ifr_flags);
    ethtool_value link{};
    link.cmd = ETHTOOL_GLINK;
    req.ifr_data = reinterpret_cast<char*>(&link);
    if (plat::ioctl_ifreq(sock.fd(), SIOCETHTOOL, &req) < 0) {
        std::puts("EthTool GLINK error.");
        return 0;
    }
    return link.data != 0 && (flags & IFF_UP) && (flags & IFF_RUNNING) ? 1 : 0;
}

int run_mac_config()
{
    std::printf("%s", MAC_PROMPT);
    for (;;) {
        std::fflush(stdout);
        char line[MAC_ANSWER_SIZE];
        const bool more = read_line(line, MAC_ANSWER_SIZE);
        if (operator_quit(line)) return 0;
        unsigned fields[6];
        if (std::sscanf(line, "%x:%x:%x:%x:%x:%x", &fields[0], &fields[1], &fields[2], &fields[3], &fields[4],
                        &fields[5]) == 6 &&
            mac_text_is_plain(line)) {
            run_formatted("ifconfig eth%c hw ether %s\n", '0', line);
            return 1;
        }
        std::puts("Invalid MAC address. Try again please");
        if (!more) return 0;
        std::printf("%s", MAC_PROMPT);
    }
}

}  // namespace bladeboot
