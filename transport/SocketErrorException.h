#pragma once

#include <cstdint>

namespace vexlink {

// The one exception of the system: a stream read or write failed. Thrown and
// caught by value; carries lastSocketError(), which is 0 on this platform.
class SocketErrorException {
public:
    explicit SocketErrorException(int32_t error) : error_(error) {}
    int32_t error() const { return error_; }

private:
    int32_t error_;
};

}  // namespace vexlink
