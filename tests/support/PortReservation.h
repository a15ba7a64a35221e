#pragma once

#include <cstdint>

namespace vexlink::test {

// A port of `type` (SOCK_DGRAM or SOCK_STREAM) that nothing is bound to and
// that no other test process will be handed, for the client to bind later.
//
// Picking a port by binding to port 0 and closing the socket is racy when
// ctest runs many processes at once: the kernel may hand the same number to
// another process's ephemeral socket, or to its own "free port" probe,
// before the client gets to bind it. So the port comes from below the
// kernel's ephemeral range, where bind(0) and connect() never land, and is
// claimed with a lock file in a shared folder that stays locked until this
// process exits. Returns -1 when no port could be found.
int32_t reservePort(int type);

}  // namespace vexlink::test
