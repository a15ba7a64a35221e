#pragma once

namespace vexlink {

// How a frame whose packet is missing at its turn is filled. Chosen on the
// command line (--conceal), kept in the settings record and handed to the
// adaptive playout.
enum class Concealment {
    Fade,   // repeat the last frame, full level once, then 15/16 .. 1/16, then silence
    Codec,  // Opus loss concealment, in-band FEC from the next packet when it is there
};

}  // namespace vexlink
