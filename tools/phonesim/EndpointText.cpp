#include "tools/phonesim/EndpointText.h"

#include <netdb.h>

namespace vexlink::phonesim {

std::string endpointText(const sockaddr* address, socklen_t length) {
    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (length == 0 ||
        getnameinfo(address, length, host, sizeof host, service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return "?";
    }
    if (address->sa_family == AF_INET6) return std::string("[") + host + "]:" + service;
    return std::string(host) + ":" + service;
}

}  // namespace vexlink::phonesim
