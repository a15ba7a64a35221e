#pragma once

#include <string>
#include <sys/socket.h>

namespace vexlink::phonesim {

// "127.0.0.1:8125" or "[::1]:8125" for a socket address.
std::string endpointText(const sockaddr* address, socklen_t length);

}  // namespace vexlink::phonesim
