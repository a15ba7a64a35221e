// Media packet readers: over a real WifiMediaStream fed with datagrams on
// 127.0.0.1 and the real Opus decoder, and over a scripted in-memory stream
// where a case needs a stream that would serve more than a datagram holds.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <opus/opus.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <memory>
#include <vector>

#include "audio/OpusVoiceDecoder.h"
#include "media/PacketReader.h"
#include "media/VoicePacket.h"
#include "media/WifiMediaStream.h"
#include "transport/SocketErrorException.h"

namespace vexlink {
namespace {

using Bytes = std::vector<uint8_t>;
using Reader = int32_t (*)(MediaStream&, VoiceDecoder&, VoicePacket&);

Bytes v4Header(uint16_t length, uint16_t sequence = 1, uint32_t timestamp = 0, uint8_t gain = 5) {
    return {4, 0, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length),
            static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence),
            static_cast<uint8_t>(timestamp >> 24), static_cast<uint8_t>(timestamp >> 16),
            static_cast<uint8_t>(timestamp >> 8), static_cast<uint8_t>(timestamp), gain};
}

Bytes v23Header(uint16_t payloadLength, uint16_t sequence = 1) {
    return {0, 0, static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence),
            static_cast<uint8_t>(payloadLength >> 8), static_cast<uint8_t>(payloadLength)};
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes v4Packet(const Bytes& payload, uint16_t sequence = 1) {
    return concat(v4Header(static_cast<uint16_t>(payload.size() + 7), sequence), payload);
}

Bytes v23Packet(const Bytes& payload, uint16_t sequence = 1) {
    return concat(v23Header(static_cast<uint16_t>(payload.size()), sequence), payload);
}

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    return b;
}

// Records what reaches the decoder; produces a frame of 1234s.
class RecordingDecoder final : public VoiceDecoder {
public:
    bool open() override { return true; }
    void close() override {}
    bool decode(const uint8_t* packet, int32_t length, int16_t* pcm, int32_t& frameCount) override {
        ++calls;
        lastCapacity = frameCount;
        lastPayload.assign(packet, packet + std::max(length, 0));
        std::fill(pcm, pcm + frameCount, int16_t{1234});
        return true;
    }
    int calls = 0;
    int32_t lastCapacity = -1;
    Bytes lastPayload;
};

// Opus packets of a voice-like signal (two tones under a slow tremolo).
std::vector<Bytes> encodeFrames(int count, int frameSamples = kFrameSamples) {
    int error = 0;
    OpusEncoder* encoder = opus_encoder_create(kSampleRate, kChannels, OPUS_APPLICATION_VOIP, &error);
    EXPECT_EQ(error, OPUS_OK);
    opus_encoder_ctl(encoder, OPUS_SET_BITRATE(32000));
    std::vector<Bytes> frames;
    std::vector<int16_t> pcm(frameSamples);
    int64_t t = 0;
    for (int f = 0; f < count; ++f) {
        for (int i = 0; i < frameSamples; ++i, ++t) {
            const double s = static_cast<double>(t) / kSampleRate;
            const double level = 0.5 + 0.4 * std::sin(2 * M_PI * 3 * s);
            pcm[i] = static_cast<int16_t>(8000 * level * (std::sin(2 * M_PI * 220 * s) + 0.5 * std::sin(2 * M_PI * 1330 * s)));
        }
        uint8_t out[1000];
        const int n = opus_encode(encoder, pcm.data(), frameSamples, out, sizeof out);
        EXPECT_GT(n, 0);
        frames.emplace_back(out, out + std::max(n, 0));
    }
    opus_encoder_destroy(encoder);
    return frames;
}

// libopus used directly on the same payloads: what the readers must match.
class ReferenceDecoder {
public:
    ReferenceDecoder() : state_(opus_decoder_create(kSampleRate, kChannels, &error_)) {}
    ~ReferenceDecoder() { opus_decoder_destroy(state_); }
    std::vector<int16_t> decode(const Bytes& payload) {
        std::vector<int16_t> pcm(kFrameSamples);
        const int n = opus_decode(state_, payload.empty() ? nullptr : payload.data(),
                                  static_cast<opus_int32>(payload.size()), pcm.data(), kFrameSamples, 0);
        pcm.resize(std::max(n, 0));
        return pcm;
    }

private:
    int error_ = 0;
    OpusDecoder* state_;
};

std::vector<int16_t> frameOf(const VoicePacket& packet) {
    return {packet.samples, packet.samples + std::clamp(packet.sampleCount, 0, kFrameSamples)};
}

bool silentFrom(const VoicePacket& packet, int from) {
    return std::all_of(packet.samples + from, packet.samples + kFrameSamples, [](int16_t s) { return s == 0; });
}

// A WifiMediaStream on a port the kernel picks, and a sender aimed at it.
class UdpReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(stream_.open(), 0);
        sockaddr_in6 local{};
        socklen_t len = sizeof local;
        ASSERT_EQ(getsockname(stream_.socketFd(), reinterpret_cast<sockaddr*>(&local), &len), 0);
        sender_ = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(sender_, 0);
        target_.sin_family = AF_INET;
        target_.sin_port = local.sin6_port;
        target_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_TRUE(opus_.open());
    }
    void TearDown() override {
        if (sender_ >= 0) {
            ::close(sender_);
        }
        stream_.close();
        opus_.close();
    }

    void send(const Bytes& datagram) {
        ASSERT_EQ(sendto(sender_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&target_),
                         sizeof target_),
                  static_cast<ssize_t>(datagram.size()));
    }

    int32_t read(Reader reader, VoicePacket& packet, VoiceDecoder* decoder = nullptr) {
        packet.sampleCount = kFrameSamples;
        return reader(stream_, decoder != nullptr ? *decoder : opus_, packet);
    }

    WifiMediaStream stream_{0};
    OpusVoiceDecoder opus_{kSampleRate, kChannels};
    int sender_ = -1;
    sockaddr_in target_{};
};

// ---- Header layouts --------------------------------------------------------

TEST_F(UdpReaderTest, V4ExampleHeader) {
    const Bytes payload = pattern(64);
    send(concat({0x04, 0x00, 0x00, 0x47, 0x01, 0x02, 0x00, 0x00, 0x03, 0xE8, 0x05}, payload));
    RecordingDecoder decoder;
    VoicePacket packet;

    EXPECT_EQ(read(&readPacketV4, packet, &decoder), 0);
    EXPECT_EQ(packet.rawSequence, 258);
    EXPECT_EQ(packet.timestamp, 1000u);
    EXPECT_EQ(packet.gainCode, 5);
    EXPECT_EQ(decoder.calls, 1);
    EXPECT_EQ(decoder.lastPayload, payload);
    EXPECT_EQ(decoder.lastCapacity, kFrameSamples);
    EXPECT_EQ(stream_.bufferedCount(), 0);
}

TEST_F(UdpReaderTest, V2AndV3ExampleHeaderLeavesV4FieldsAlone) {
    for (Reader reader : {&readPacketV2, &readPacketV3}) {
        const Bytes payload = pattern(64);
        send(concat({0xAB, 0xCD, 0x00, 0x10, 0x00, 0x40}, payload));
        RecordingDecoder decoder;
        VoicePacket packet;
        packet.timestamp = 0xDEADBEEF;
        packet.gainCode = 9;

        EXPECT_EQ(read(reader, packet, &decoder), 0);
        EXPECT_EQ(packet.rawSequence, 16);
        EXPECT_EQ(packet.timestamp, 0xDEADBEEFu);
        EXPECT_EQ(packet.gainCode, 9);
        EXPECT_EQ(decoder.lastPayload, payload);
        EXPECT_EQ(stream_.bufferedCount(), 0);
    }
}

TEST_F(UdpReaderTest, WrongTypeDropsTheRestOfTheDatagram) {
    const Bytes good = v4Packet(pattern(10), 9);
    for (const Bytes& type : {Bytes{0x04, 0x01}, Bytes{0x05, 0x00}}) {
        Bytes bad = v4Packet(pattern(10), 8);
        bad[0] = type[0];
        bad[1] = type[1];
        send(concat(bad, good));
        send(good);
        RecordingDecoder decoder;
        VoicePacket packet;
        EXPECT_EQ(read(&readPacketV4, packet, &decoder), -50);
        EXPECT_EQ(stream_.bufferedCount(), 0);
        EXPECT_EQ(decoder.calls, 0);
        // The next attempt starts at the next datagram.
        EXPECT_EQ(read(&readPacketV4, packet, &decoder), 0);
        EXPECT_EQ(packet.rawSequence, 9);
    }
}

TEST_F(UdpReaderTest, PayloadLongerThanDatagramIsRefused) {
    Bytes datagram = v4Packet(pattern(40));
    datagram[3] = 7 + 60;
    send(datagram);
    VoicePacket packet;
    EXPECT_EQ(read(&readPacketV4, packet), -50);
    EXPECT_EQ(stream_.bufferedCount(), 0);
}

TEST_F(UdpReaderTest, OutOfRangeLengthsDropTheDatagram) {
    const struct {
        Reader reader;
        Bytes header;
    } cases[] = {
        {&readPacketV4, v4Header(0)},    {&readPacketV4, v4Header(6)},
        {&readPacketV4, v4Header(7 + 1025)}, {&readPacketV4, v4Header(0xFFFF)},
        {&readPacketV2, v23Header(1025)}, {&readPacketV3, v23Header(0xFFFF)},
    };
    for (const auto& c : cases) {
        send(concat(c.header, pattern(900)));
        VoicePacket packet;
        EXPECT_EQ(read(c.reader, packet), -50);
        EXPECT_EQ(stream_.bufferedCount(), 0);
    }
}

TEST_F(UdpReaderTest, SilentPeriodsThenAPacket) {
    stream_.setReceiveWaitMs(50);
    VoicePacket packet;
    EXPECT_EQ(read(&readPacketV4, packet), -40);
    EXPECT_EQ(read(&readPacketV4, packet), -40);
    stream_.setReceiveWaitMs(WifiMediaStream::kReceiveWaitMs);
    send(v4Packet(encodeFrames(1)[0], 3));
    EXPECT_EQ(read(&readPacketV4, packet), 0);
    EXPECT_EQ(packet.rawSequence, 3);
}

// ---- Decoding ------------------------------------------------------------------

TEST_F(UdpReaderTest, OpusPayloadsDecodeSampleAccurately) {
    const auto frames = encodeFrames(12);
    const struct {
        Reader reader;
        Bytes (*wrap)(const Bytes&, uint16_t);
    } layouts[] = {{&readPacketV4, &v4Packet}, {&readPacketV3, &v23Packet}, {&readPacketV2, &v23Packet}};
    for (const auto& layout : layouts) {
        OpusVoiceDecoder decoder(kSampleRate, kChannels);
        ASSERT_TRUE(decoder.open());
        ReferenceDecoder reference;
        for (size_t i = 0; i < frames.size(); ++i) {
            send(layout.wrap(frames[i], static_cast<uint16_t>(i)));
            VoicePacket packet;
            ASSERT_EQ(read(layout.reader, packet, &decoder), 0);
            const std::vector<int16_t> expected = reference.decode(frames[i]);
            ASSERT_EQ(expected.size(), static_cast<size_t>(kFrameSamples));
            EXPECT_EQ(frameOf(packet), expected) << "frame " << i;
        }
        decoder.close();
    }
}

// Length 7: the codec gets zero bytes and conceals the gap with a full
// frame, the one libopus makes for a lost packet.
TEST_F(UdpReaderTest, EmptyV4PayloadGivesConcealment) {
    ReferenceDecoder reference;
    VoicePacket packet;
    for (const Bytes& f : encodeFrames(3)) {
        send(v4Packet(f));
        ASSERT_EQ(read(&readPacketV4, packet), 0);
        reference.decode(f);
    }
    send(v4Header(7));
    EXPECT_EQ(read(&readPacketV4, packet), 0);
    EXPECT_EQ(packet.sampleCount, kFrameSamples);
    EXPECT_EQ(frameOf(packet), reference.decode({}));
}

TEST_F(UdpReaderTest, RejectedPayloadLeavesASilentFrame) {
    // A 40 ms packet does not fit the 960-sample frame; a code-3 packet
    // announcing zero frames is malformed.
    const Bytes tooLong = encodeFrames(1, 2 * kFrameSamples)[0];
    for (const Bytes& payload : {tooLong, Bytes{0x03, 0x00}}) {
        for (Reader reader : {&readPacketV2, &readPacketV4}) {
            send(reader == &readPacketV4 ? v4Packet(payload) : v23Packet(payload));
            VoicePacket packet;
            std::fill(std::begin(packet.samples), std::end(packet.samples), int16_t{999});
            EXPECT_EQ(read(reader, packet), 0);
            EXPECT_EQ(packet.sampleCount, kFrameSamples);
            EXPECT_TRUE(silentFrom(packet, 0));
        }
    }
}

TEST_F(UdpReaderTest, TenMillisecondPacketIsPaddedWithSilence) {
    ReferenceDecoder reference;
    for (const Bytes& f : encodeFrames(4, kFrameSamples / 2)) {
        send(v23Packet(f));
        VoicePacket packet;
        std::fill(std::begin(packet.samples), std::end(packet.samples), int16_t{999});
        ASSERT_EQ(read(&readPacketV3, packet), 0);
        EXPECT_EQ(packet.sampleCount, kFrameSamples / 2);
        EXPECT_EQ(frameOf(packet), reference.decode(f));
        EXPECT_TRUE(silentFrom(packet, kFrameSamples / 2));
    }
}

// ---- A stream that serves whatever it is asked ------------------------------

// Holds one long run of bytes and writes every byte it is asked for, so a
// request larger than the reader's buffer shows up as an overflow under
// ASan. Scripted results (0 serve, 1 throw, else return it) come first.
class ScriptedStream final : public MediaStream {
public:
    explicit ScriptedStream(const Bytes& bytes) : bytes_(bytes.begin(), bytes.end()) {}

    int32_t read(uint8_t* buffer, int32_t count) override {
        requests.push_back(count);
        if (!script.empty()) {
            const int32_t r = script.front();
            script.pop_front();
            if (r == 1) {
                throw SocketErrorException(0);
            }
            if (r != 0) {
                return r;
            }
        }
        if (count < 0 || static_cast<size_t>(count) > bytes_.size()) {
            bytes_.clear();
            return -30;
        }
        std::copy_n(bytes_.begin(), count, buffer);
        bytes_.erase(bytes_.begin(), bytes_.begin() + count);
        return 0;
    }
    void reset() override {
        ++resets;
        bytes_.clear();
    }

    std::vector<int32_t> requests;
    std::deque<int32_t> script;
    int resets = 0;

private:
    std::deque<uint8_t> bytes_;
};

TEST(PacketReaderLengthBounds, UnservableLengthsAreRefusedBeforeAnyPayloadRead) {
    const struct {
        Reader reader;
        Bytes header;
    } cases[] = {
        {&readPacketV4, v4Header(0)},        {&readPacketV4, v4Header(3)},
        {&readPacketV4, v4Header(6)},        {&readPacketV4, v4Header(7 + 1025)},
        {&readPacketV4, v4Header(0xFFFF)},   {&readPacketV2, v23Header(1025)},
        {&readPacketV2, v23Header(0xFFFF)},  {&readPacketV3, v23Header(1025)},
        {&readPacketV3, v23Header(0xFFFF)},
    };
    for (const auto& c : cases) {
        ScriptedStream stream(concat(c.header, pattern(70000)));
        RecordingDecoder decoder;
        VoicePacket packet;
        EXPECT_EQ(c.reader(stream, decoder, packet), -50);
        EXPECT_EQ(stream.requests, (std::vector<int32_t>{static_cast<int32_t>(c.header.size())}));
        EXPECT_EQ(stream.resets, 1);
        EXPECT_EQ(decoder.calls, 0);
    }
}

TEST(PacketReaderLengthBounds, FullBufferPayloadIsAccepted) {
    const Bytes payload = pattern(1024);
    const struct {
        Reader reader;
        Bytes packet;
    } cases[] = {{&readPacketV4, v4Packet(payload)}, {&readPacketV3, v23Packet(payload)}};
    for (const auto& c : cases) {
        ScriptedStream stream(c.packet);
        RecordingDecoder decoder;
        VoicePacket packet;
        EXPECT_EQ(c.reader(stream, decoder, packet), 0);
        EXPECT_EQ(decoder.lastPayload, payload);
    }
}

// The decoder is never offered more room than the frame holds, whatever
// sampleCount the caller left behind.
TEST(PacketReaderLengthBounds, DecoderCapacityNeverExceedsTheFrame) {
    ScriptedStream stream(v4Packet(pattern(5)));
    RecordingDecoder decoder;
    VoicePacket packet;
    packet.sampleCount = 5000;
    EXPECT_EQ(readPacketV4(stream, decoder, packet), 0);
    EXPECT_EQ(decoder.lastCapacity, kFrameSamples);
}

TEST(PacketReaderStreamResults, StreamFailuresEndThePacket) {
    EXPECT_EQ(mapMediaReadResult(0), 0);
    EXPECT_EQ(mapMediaReadResult(-20), -40);
    EXPECT_EQ(mapMediaReadResult(-30), -50);
    EXPECT_EQ(mapMediaReadResult(-10), -50);  // never success

    const struct {
        Reader reader;
        Bytes bytes;
        std::deque<int32_t> script;
        int32_t expected;
    } cases[] = {
        {&readPacketV4, v4Packet(pattern(10)), {-20}, -40},
        {&readPacketV4, v4Packet(pattern(10)), {0, -30}, -50},
        {&readPacketV3, v23Packet(pattern(10)), {0, -20}, -40},
        {&readPacketV2, v23Packet(pattern(10)), {-30}, -50},
    };
    for (const auto& c : cases) {
        ScriptedStream stream(c.bytes);
        stream.script = c.script;
        RecordingDecoder decoder;
        VoicePacket packet;
        EXPECT_EQ(c.reader(stream, decoder, packet), c.expected);
        EXPECT_EQ(stream.requests.size(), c.script.size());
        EXPECT_EQ(decoder.calls, 0);
    }
}

TEST(PacketReaderStreamResults, SocketErrorPassesThrough) {
    for (const std::deque<int32_t>& script : {std::deque<int32_t>{1}, std::deque<int32_t>{0, 1}}) {
        ScriptedStream v4(v4Packet(pattern(10)));
        ScriptedStream v3(v23Packet(pattern(10)));
        v4.script = v3.script = script;
        RecordingDecoder decoder;
        VoicePacket packet;
        EXPECT_THROW(readPacketV4(v4, decoder, packet), SocketErrorException);
        EXPECT_THROW(readPacketV3(v3, decoder, packet), SocketErrorException);
        EXPECT_EQ(decoder.calls, 0);
    }
}

}  // namespace
}  // namespace vexlink
