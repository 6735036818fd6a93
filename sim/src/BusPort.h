#pragma once
// The simulated arm's side of a bus endpoint.

#include <string>

namespace kav {
namespace sim {

/// Opens a non-blocking socket on @p endpoint: connected to the local-socket
/// bus at "unix:/path" or "unix:@name", or bound to the SocketCAN interface of
/// that name. Either way one message is one 16-byte CAN frame.
/// @return the socket descriptor, owned by the caller
/// @throw std::invalid_argument when the endpoint is malformed
/// @throw std::runtime_error when the bus cannot be joined
int openBusSocket(const std::string& endpoint);

}  // namespace sim
}  // namespace kav
