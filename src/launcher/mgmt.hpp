// Management port: IP configuration and MAC address entry.
#pragma once

#include <netinet/in.h>

#include <cstdint>

namespace bladeboot {

// DHCP is offered only when the client is there.
constexpr char DHCLIENT_PATH[] = "/bin/dhclient";

int mgmt_port_setup(uint8_t dhcp_allowed);
int mgmt_port_params(uint8_t* dhcp, in_addr* ip, in_addr* netmask, in_addr* gateway, uint8_t dhcp_allowed);
int get_ip_addr(const char* prompt, in_addr* address, uint8_t required, uint8_t validate);
int verify_ip_address(in_addr_t address);
int mgmt_port_configure(uint8_t dhcp, char port, in_addr& ip, in_addr& netmask, in_addr& gateway);
int mgmt_link_status(char port);
int run_mac_config();

}  // namespace bladeboot
