// Addresses and ports of the board network. The defaults are the boards'
// own; environment variables override them, so that tests and several
// simulated boards can share one machine on loopback:
//   FENROW_BIND_ADDRESS   address to bind instead of the first "11." one
//   FENROW_KNOCK_ADDRESS  where knocks go instead of the network's broadcast
//   FENROW_HOST_PORT      host port of the readout boards (12345)
//   FENROW_TRIGGER_PORT   host port of the trigger boards (12346)
//   FENROW_BOARD_PORT     port the boards listen on (10000)
// and one sets the memory the board datagrams may wait in:
//   FENROW_RECEIVE_BUDGET megabytes for datagrams read and not yet handled
#ifndef BRISKO_FENROW_NET_NETCONFIG_H
#define BRISKO_FENROW_NET_NETCONFIG_H

#include <cstddef>
#include <string>

namespace fenrow_net {

constexpr int DEFAULT_HOST_PORT = 12345;
constexpr int DEFAULT_TRIGGER_PORT = 12346;
constexpr int DEFAULT_BOARD_PORT = 10000;

int host_port();
int trigger_port();
int board_port();
// Empty when not overridden.
std::string bind_address();
std::string knock_address();
// In bytes; the fallback (whole megabytes) when unset or not a positive
// number of megabytes.
std::size_t receive_budget(std::size_t fallback);

} // namespace fenrow_net

#endif
