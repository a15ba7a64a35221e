#include "tools/phonesim/PhoneSimCli.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "tools/phonesim/ChirpSignal.h"
#include "tools/phonesim/ToneSignal.h"
#include "tools/phonesim/TremoloSignal.h"
#include "tools/phonesim/WavSignal.h"

namespace vexlink::phonesim {

namespace {

bool toU64(const std::string& text, uint64_t max, uint64_t& out) {
    uint64_t v = 0;
    const char* end = text.data() + text.size();
    auto [p, ec] = std::from_chars(text.data(), end, v);
    if (ec != std::errc() || p != end || text.empty() || v > max) return false;
    out = v;
    return true;
}

bool toDouble(const std::string& text, double lo, double hi, double& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(v) || v < lo || v > hi) return false;
    out = v;
    return true;
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(sep, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

}  // namespace

std::string PhoneSimCli::usage() {
    return "usage: vexlink-phone-sim [options]\n"
           "Plays the phone's side of a vexlink connection on this machine: answers the control\n"
           "handshake on a TCP port and sends Opus voice to the client's media port.\n"
           "\n"
           "  --listen ADDR            numeric address to listen on (default 127.0.0.1; ::1 for IPv6)\n"
           "  --port N                 control port (default 8125; 0 picks a free one)\n"
           "  --server-version N       server version announced in the Hello reply (default 4)\n"
           "  --media-version N        media packet layout 2, 3 or 4 (default: from the server version)\n"
           "  --status-hello N         status byte of the Hello reply (default 0)\n"
           "  --status-setup N         status byte of the Setup reply (default 0)\n"
           "  --status-start N         status byte of the Start reply (default 0)\n"
           "  --status-command104 N    status byte of the Command104 reply (default 0)\n"
           "  --fault STEP:KIND[:ARG]  misbehave at a step (repeatable); STEP hello|setup|start|command104:\n"
           "                           wrong-type[:T] length:N extra:N trailing:N delay:MS trickle:MS\n"
           "                           close[:BYTES] reset[:BYTES] silent[:BYTES] (BYTES of the reply first);\n"
           "                           accept:close|reset; keepalive:close:N|reset:N (at the N-th KeepAlive)\n"
           "  --signal tone|chirp|tremolo|FILE.wav  what to send (default tone; tremolo: 220 Hz and\n"
           "                           harmonics under a 4 Hz tremolo; WAV: 16-bit PCM, mono or stereo,\n"
           "                           48000 Hz or 8000/12000/16000/24000 Hz)\n"
           "  --tone-hz F              tone frequency (default 1000)\n"
           "  --seconds S              send for S seconds (default: until the client leaves; a WAV file once)\n"
           "  --packets N              send N packets\n"
           "  --start-delay MS         wait after the Start reply before the first packet\n"
           "  --gain N                 gain code of version-4 packets (default 5, unity)\n"
           "  --bitrate BPS            Opus bitrate (default 32000)\n"
           "  --application voip|audio Opus application (default voip)\n"
           "  --fec                    in-band FEC, tuned for 10% loss\n"
           "  --loss P                 independent packet loss probability\n"
           "  --burst-loss PGB,PBG[,LB[,LG]]  bursty loss: good->bad and bad->good step probabilities,\n"
           "                           loss in the bad (default 1) and good (default 0) state\n"
           "  --jitter MS              random extra delay up to MS ms (more than 20 reorders)\n"
           "  --jitter-span FROM:TO:MS jitter up to MS ms for packets from FROM to TO seconds into the\n"
           "                           voice instead (repeatable, 4 at most)\n"
           "  --reorder P              probability that a packet is held behind the next one\n"
           "  --duplicate P            probability that a packet is sent twice\n"
           "  --clock-ppm N            sender clock offset in parts per million (paces the packets)\n"
           "  --stall-at S --stall-for MS  send nothing for MS ms from S seconds into the voice\n"
           "  --stall-drop             drop what falls into the stall instead of sending it afterwards\n"
           "  --garbage RATE           junk datagrams per packet (random, oversized, empty)\n"
           "  --flood N                send N packets per 20 ms\n"
           "  --seed N                 seed of the impairments (default 1)\n"
           "  --sessions N             clients to serve one after the other (default 1; 0 = until stopped)\n"
           "  --end-when-done          close the control connection after the last packet\n"
           "  --quiet                  print only the listening line and the summary\n"
           "  --help                   print this text\n";
}

bool PhoneSimCli::fault(const std::string& text) {
    const auto parts = split(text, ':');
    auto bad = [&] {
        error_ = "invalid --fault '" + text + "'";
        return false;
    };
    if (parts.size() < 2) return bad();
    const std::string& step = parts[0];
    const std::string& kind = parts[1];
    uint64_t n = 0;
    if (step == "accept") {
        if (parts.size() != 2) return bad();
        if (kind == "close") config_.control.onAccept = AcceptAction::Close;
        else if (kind == "reset") config_.control.onAccept = AcceptAction::Reset;
        else return bad();
        return true;
    }
    if (step == "keepalive") {
        if (parts.size() != 3 || !toU64(parts[2], UINT32_MAX, n) || n == 0) return bad();
        if (kind == "close") config_.control.keepAliveEndAction = ReplyAction::Close;
        else if (kind == "reset") config_.control.keepAliveEndAction = ReplyAction::Reset;
        else return bad();
        config_.control.endAfterKeepAlives = static_cast<uint32_t>(n);
        return true;
    }
    ReplyBehaviour* b = nullptr;
    if (step == "hello") b = &config_.control.hello;
    else if (step == "setup") b = &config_.control.setup;
    else if (step == "start") b = &config_.control.start;
    else if (step == "command104") b = &config_.control.command104;
    else return bad();
    const bool hasArg = parts.size() == 3;
    if (parts.size() > 3) return bad();
    if (kind == "wrong-type") {
        uint8_t t = step == "hello" ? kSimSetup : kSimHello;
        if (hasArg) {
            if (!toU64(parts[2], 255, n)) return bad();
            t = static_cast<uint8_t>(n);
        }
        b->type = t;
    } else if (kind == "length" || kind == "extra" || kind == "trailing" || kind == "delay" || kind == "trickle") {
        if (!hasArg || !toU64(parts[2], UINT32_MAX, n)) return bad();
        if (kind == "length") b->declaredLength = static_cast<uint32_t>(n);
        if (kind == "extra" || kind == "trailing") {
            if (n > 65536) return bad();
            std::vector<uint8_t> bytes(n);
            for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(0xA0 + i);
            (kind == "extra" ? b->extraBody : b->trailing) = bytes;
        }
        if (kind == "delay") b->delayMs = static_cast<uint32_t>(n);
        if (kind == "trickle") b->trickleMs = static_cast<uint32_t>(n);
    } else if (kind == "close" || kind == "reset" || kind == "silent") {
        b->action = kind == "close" ? ReplyAction::Close : kind == "reset" ? ReplyAction::Reset : ReplyAction::Silent;
        if (hasArg) {
            if (!toU64(parts[2], UINT32_MAX, n)) return bad();
            b->partialBytes = static_cast<uint32_t>(n);
        }
    } else {
        return bad();
    }
    return true;
}

PhoneSimCli::Outcome PhoneSimCli::parse(const std::vector<std::string>& args) {
    config_ = SimulatorConfig{};
    config_.control.port = 8125;
    config_.recordPackets = false;  // a long run keeps counters only
    config_.maxRawLogBytes = 64 * 1024;
    std::string signalName = "tone";
    double toneHz = 1000.0;
    bool stallAtGiven = false, stallForGiven = false;

    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool inlineValue = false;
        if (name.rfind("--", 0) == 0) {
            const size_t eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
                inlineValue = true;
            }
        }
        auto flag = [&]() {
            if (inlineValue) error_ = "option " + name + " takes no value";
            return !inlineValue;
        };
        auto need = [&]() {
            if (inlineValue) return true;
            if (i + 1 >= args.size()) {
                error_ = "option " + name + " needs a value";
                return false;
            }
            value = args[++i];
            return true;
        };
        auto invalid = [&]() {
            error_ = "invalid value '" + value + "' for " + name;
            return Outcome::Error;
        };
        uint64_t n = 0;
        double d = 0.0;
        if (name == "--help" || name == "-h") {
            return Outcome::Help;
        } else if (name == "--quiet" || name == "-q") {
            if (!flag()) return Outcome::Error;
            quiet_ = true;
        } else if (name == "--stall-drop") {
            if (!flag()) return Outcome::Error;
            config_.media.impairments.stallDrops = true;
        } else if (name == "--fec") {
            if (!flag()) return Outcome::Error;
            config_.media.fecLossPercent = 10;
        } else if (name == "--end-when-done") {
            if (!flag()) return Outcome::Error;
            config_.media.endSessionWhenDone = true;
        } else if (name.rfind("--", 0) != 0) {
            error_ = "unexpected argument '" + name + "'";
            return Outcome::Error;
        } else if (!need()) {
            return Outcome::Error;
        } else if (name == "--listen") {
            config_.control.listenAddress = value;
        } else if (name == "--port") {
            if (!toU64(value, 65535, n)) return invalid();
            config_.control.port = static_cast<uint16_t>(n);
        } else if (name == "--server-version") {
            if (!toU64(value, 255, n)) return invalid();
            config_.control.serverVersion = static_cast<uint8_t>(n);
        } else if (name == "--media-version") {
            if (!toU64(value, 4, n) || n < 2) return invalid();
            config_.media.version = static_cast<int>(n);
        } else if (name == "--status-hello" || name == "--status-setup" || name == "--status-start" ||
                   name == "--status-command104") {
            if (!toU64(value, 255, n)) return invalid();
            ReplyBehaviour& b = name == "--status-hello"   ? config_.control.hello
                                : name == "--status-setup" ? config_.control.setup
                                : name == "--status-start" ? config_.control.start
                                                           : config_.control.command104;
            b.status = static_cast<uint8_t>(n);
        } else if (name == "--fault") {
            if (!fault(value)) return Outcome::Error;
        } else if (name == "--signal") {
            signalName = value;
        } else if (name == "--tone-hz") {
            if (!toDouble(value, 1.0, 23999.0, d)) return invalid();
            toneHz = d;
        } else if (name == "--seconds") {
            if (!toDouble(value, 0.0, 1e7, d)) return invalid();
            config_.media.durationMs = static_cast<uint32_t>(std::llround(d * 1000.0));
        } else if (name == "--packets") {
            if (!toU64(value, UINT64_MAX, n)) return invalid();
            config_.media.packetCount = n;
        } else if (name == "--start-delay") {
            if (!toU64(value, UINT32_MAX, n)) return invalid();
            config_.media.startDelayMs = static_cast<uint32_t>(n);
        } else if (name == "--gain") {
            if (!toU64(value, 255, n)) return invalid();
            config_.media.gainCode = static_cast<uint8_t>(n);
        } else if (name == "--bitrate") {
            if (!toU64(value, 510000, n) || n < 6000) return invalid();
            config_.media.bitrate = static_cast<int32_t>(n);
        } else if (name == "--application") {
            if (value == "voip") config_.media.application = OpusApplication::Voip;
            else if (value == "audio") config_.media.application = OpusApplication::Audio;
            else return invalid();
        } else if (name == "--loss") {
            if (!toDouble(value, 0.0, 1.0, d)) return invalid();
            config_.media.impairments.loss = d;
        } else if (name == "--burst-loss") {
            const auto parts = split(value, ',');
            double p[4] = {0.0, 1.0, 1.0, 0.0};
            if (parts.size() < 2 || parts.size() > 4) return invalid();
            for (size_t k = 0; k < parts.size(); ++k) {
                if (!toDouble(parts[k], 0.0, 1.0, p[k])) return invalid();
            }
            if (p[0] <= 0.0) return invalid();
            auto& imp = config_.media.impairments;
            imp.burstGoodToBad = p[0];
            imp.burstBadToGood = p[1];
            imp.burstLossInBad = p[2];
            imp.burstLossInGood = p[3];
        } else if (name == "--jitter") {
            if (!toU64(value, 60000, n)) return invalid();
            config_.media.impairments.jitterMs = static_cast<uint32_t>(n);
        } else if (name == "--jitter-span") {
            const auto parts = split(value, ':');
            auto& imp = config_.media.impairments;
            double from = 0.0, to = 0.0;
            if (parts.size() != 3 || imp.jitterSpanCount >= ImpairmentConfig::kMaxJitterSpans ||
                !toDouble(parts[0], 0.0, 1e7, from) || !toDouble(parts[1], from, 1e7, to) ||
                !toU64(parts[2], 60000, n)) {
                return invalid();
            }
            imp.jitterSpans[imp.jitterSpanCount++] = {std::llround(from * 1000.0), std::llround(to * 1000.0),
                                                      static_cast<uint32_t>(n)};
        } else if (name == "--reorder") {
            if (!toDouble(value, 0.0, 1.0, d)) return invalid();
            config_.media.impairments.reorder = d;
        } else if (name == "--duplicate") {
            if (!toDouble(value, 0.0, 1.0, d)) return invalid();
            config_.media.impairments.duplicate = d;
        } else if (name == "--clock-ppm") {
            if (!toDouble(value, -500000.0, 500000.0, d)) return invalid();
            config_.media.impairments.clockPpm = d;
        } else if (name == "--stall-at") {
            if (!toDouble(value, 0.0, 1e7, d)) return invalid();
            config_.media.impairments.stallAtMs = std::llround(d * 1000.0);
            stallAtGiven = true;
        } else if (name == "--stall-for") {
            if (!toU64(value, UINT32_MAX, n)) return invalid();
            config_.media.impairments.stallForMs = static_cast<uint32_t>(n);
            stallForGiven = true;
        } else if (name == "--garbage") {
            if (!toDouble(value, 0.0, 8.0, d)) return invalid();
            config_.media.impairments.garbageRate = d;
        } else if (name == "--flood") {
            if (!toU64(value, 1000, n) || n == 0) return invalid();
            config_.media.impairments.flood = static_cast<uint32_t>(n);
        } else if (name == "--seed") {
            if (!toU64(value, UINT64_MAX, n)) return invalid();
            config_.media.impairments.seed = n;
        } else if (name == "--sessions") {
            if (!toU64(value, UINT32_MAX, n)) return invalid();
            config_.control.maxSessions = static_cast<uint32_t>(n);
        } else {
            error_ = "unknown option " + name;
            return Outcome::Error;
        }
    }
    if (stallAtGiven != stallForGiven) {
        error_ = "--stall-at and --stall-for go together";
        return Outcome::Error;
    }
    if (signalName == "tone") {
        config_.media.signal = std::make_shared<ToneSignal>(toneHz, 0.5);
    } else if (signalName == "chirp") {
        config_.media.signal = std::make_shared<ChirpSignal>();
    } else if (signalName == "tremolo") {
        config_.media.signal = std::make_shared<TremoloSignal>();
    } else {
        std::string why;
        auto wav = WavSignal::load(signalName, &why);
        if (!wav) {
            error_ = why;
            return Outcome::Error;
        }
        config_.media.signal = std::move(wav);
    }
    return Outcome::Run;
}

}  // namespace vexlink::phonesim
