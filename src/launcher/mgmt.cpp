#include "launcher/mgmt.hpp"

// Placeholders until the management port lands.
int mgmt_port_setup(uint8_t) { return 0; }
int mgmt_port_params(uint8_t*, in_addr*, in_addr*, in_addr*, uint8_t) { return 0; }
int get_ip_addr(const char*, in_addr*, uint8_t, uint8_t) { return 0; }
int verify_ip_address(in_addr_t) { return 0; }
int mgmt_port_configure(uint8_t, char, in_addr&, in_addr&, in_addr&) { return 0; }
int mgmt_link_status(char) { return 0; }
int run_mac_config() { return 0; }
