#pragma once

namespace vexlink {

// The client's version in the control protocol: announced to the phone in
// the Hello and printed by -v as "v4.6". It follows the protocol, not the
// package: the package's version comes from CMake's project() alone.
inline constexpr int kClientVersionMajor = 4;
inline constexpr int kClientVersionMinor = 6;

}  // namespace vexlink
