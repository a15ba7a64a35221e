#include "ArrivalTrace.h"

#include <algorithm>

#include "tools/phonesim/OpusFrameEncoder.h"
#include "tools/phonesim/TremoloSignal.h"

namespace vexlink::bench {

std::vector<TraceArrival> buildArrivalTrace(const phonesim::ImpairmentConfig& impairments, size_t frames) {
    const phonesim::TremoloSignal signal;
    phonesim::OpusFrameEncoder encoder(phonesim::OpusApplication::Voip, 32000, 5);
    phonesim::ImpairmentModel model(impairments);
    std::vector<TraceArrival> trace;
    trace.reserve(frames + frames / 4);
    int16_t pcm[phonesim::kSimFrameSamples];
    for (size_t i = 0; i < frames; ++i) {
        const phonesim::PacketPlan plan = model.next();
        signal.render(plan.index, pcm);
        TraceArrival a;
        const int32_t size = encoder.encode(pcm, a.payload, sizeof a.payload);
        if (size <= 0 || plan.dropped) continue;
        a.index = static_cast<uint32_t>(plan.index);
        a.timestampMs = plan.timestampMs;
        a.payloadSize = static_cast<uint16_t>(size);
        a.arrivalUs = static_cast<uint64_t>(plan.sendUs);
        trace.push_back(a);
        if (plan.duplicated) {
            a.arrivalUs = static_cast<uint64_t>(plan.duplicateSendUs);
            trace.push_back(a);
        }
    }
    std::stable_sort(trace.begin(), trace.end(),
                     [](const TraceArrival& x, const TraceArrival& y) { return x.arrivalUs < y.arrivalUs; });
    return trace;
}

}  // namespace vexlink::bench
