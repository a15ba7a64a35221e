// Reading voice: the UDP media stream on real sockets (datagrams sent to
// 127.0.0.1 and ::1, served as a byte stream), the packet readers over it
// with the real Opus decoder, and the readers over an in-memory stream that
// serves whatever it is asked for (so an unbounded request overruns under
// ASan).

#include <fcntl.h>
#include <sys/resource.h>
#include <gtest/gtest.h>
#include <opus/opus.h>

#include <algorithm>
#include <cmath>
#include <ctime>

#include "TestPeers.h"
#include "audio/OpusVoiceDecoder.h"
#include "media/PacketReader.h"
#include "media/RawMediaPacket.h"
#include "media/VoicePacket.h"
#include "media/WifiMediaStream.h"

namespace vexlink {
namespace {

using namespace vexlink::test;
using Reader = int32_t (*)(MediaStream&, VoiceDecoder&, VoicePacket&);

Bytes v4(int length, int sequence, const Bytes& payload = {}, uint8_t type = 4, uint8_t zero = 0) {
    const Bytes fields = {type, zero, uint8_t(length >> 8), uint8_t(length), uint8_t(sequence >> 8), uint8_t(sequence)};
    return cat({fields, {0, 0, 0, 0, 5}, payload});  // timestamp 0, gain 5
}
Bytes v23(int length, int sequence, const Bytes& payload = {}) {
    return cat({{0, 0, uint8_t(sequence >> 8), uint8_t(sequence), uint8_t(length >> 8), uint8_t(length)}, payload});
}
Bytes v4Packet(const Bytes& payload, int sequence = 1) { return v4(int(payload.size()) + 7, sequence, payload); }
Bytes v23Packet(const Bytes& payload, int sequence = 1) { return v23(int(payload.size()), sequence, payload); }

// Records what reaches it.
struct RecordingDecoder : VoiceDecoder {
    bool open() override { return true; }
    void close() override {}
    bool decode(const uint8_t* packet, int32_t length, int16_t*, int32_t& frameCount) override {
        capacity = frameCount;
        payload.assign(packet, packet + length);
        return true;
    }
    int32_t capacity = -1;  // -1: never called
    Bytes payload;
};

// Opus packets of a voice-like signal: a tone under a slow tremolo.
std::vector<Bytes> encodeFrames(int count, int frameSamples = kFrameSamples) {
    int error = 0;
    OpusEncoder* encoder = opus_encoder_create(kSampleRate, kChannels, OPUS_APPLICATION_VOIP, &error);
    std::vector<Bytes> frames;
    std::vector<int16_t> pcm(frameSamples);
    for (int f = 0, t = 0; f < count; ++f) {
        for (int i = 0; i < frameSamples; ++i, ++t) pcm[i] = int16_t(9000 * std::sin(0.0004 * t) * std::sin(0.03 * t));
        uint8_t out[1000];
        frames.emplace_back(out, out + std::max(opus_encode(encoder, pcm.data(), frameSamples, out, 1000), 0));
    }
    opus_encoder_destroy(encoder);
    return frames;
}

class UdpMedia : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(stream.open(), 0);
        stream.setPhoneAddress(phoneAt("127.0.0.1"));
        stream.setReceiveWaitMs(2000);
    }
    void send(const Bytes& b, const char* to = "127.0.0.1") {
        ASSERT_TRUE(sendDatagram(to, localPort(stream.socketFd()), b));
    }
    // Reads n bytes expecting `result`; returns what was stored.
    Bytes take(int32_t n, int32_t result = 0) {
        Bytes out(n);
        EXPECT_EQ(stream.read(out.data(), n), result);
        return out;
    }
    int32_t read(Reader reader, VoicePacket& packet, VoiceDecoder& decoder) { return reader(stream, decoder, packet); }
    WifiMediaStream stream{0};  // port 0: a free one
    RecordingDecoder recorder;
};

TEST_F(UdpMedia, ServesDatagramsAsAByteStream) {
    // Two packets in one datagram: the second comes from the buffer alone,
    // since any receive now would find nothing.
    send(cat({pattern(11, 1), pattern(20, 2)}));
    EXPECT_EQ(take(11), pattern(11, 1));
    stream.setReceiveWaitMs(1);
    EXPECT_EQ(take(20), pattern(20, 2));
    stream.setReceiveWaitMs(2000);

    // An empty buffer appends datagrams until it has enough; an IPv6 phone
    // reaches the socket as well as an IPv4 one.
    stream.setPhoneAddress(phoneAt("::1"));
    send(pattern(5, 3), "::1");
    send(pattern(20, 4), "::1");
    const Bytes both = cat({pattern(5, 3), pattern(20, 4)});
    EXPECT_EQ(take(11), Bytes(both.begin(), both.begin() + 11));
    EXPECT_EQ(stream.bufferedCount(), 14);
    EXPECT_EQ(take(14), Bytes(both.begin() + 11, both.end()));
    stream.setPhoneAddress(phoneAt("127.0.0.1"));

    // A payload longer than what is left: -30, and the rest is dropped.
    send(pattern(11 + 40, 5));
    take(11);
    take(60, -30);
    EXPECT_EQ(stream.bufferedCount(), 0);

    // reset() drops the rest of a datagram.
    send(cat({pattern(11, 6), pattern(11, 7)}));
    take(11);
    stream.reset();
    send(pattern(11, 8));
    EXPECT_EQ(take(11), pattern(11, 8));
}

// The reads below go to buffers of exactly the size asked for, so ASan sees
// any write past them.
TEST_F(UdpMedia, NothingIsWrittenPastTheBuffer) {
    Bytes out(1200, 0xC5);  // counts no packet can have are refused at once
    for (int32_t count : {1025, -1, INT32_MIN}) EXPECT_EQ(stream.read(out.data(), count), -30) << count;
    EXPECT_EQ(out, Bytes(1200, 0xC5));
    // A datagram larger than the buffer is cut to 1024 bytes.
    send(pattern(2000, 3));
    EXPECT_EQ(take(1024), pattern(1024, 3));
    stream.setReceiveWaitMs(20);
    take(1, -20);  // the excess is gone
    // Appending fills only the free part: 1000 + 100 bytes give 1024.
    const Bytes tail = pattern(100, 5);
    send(pattern(1000, 4));
    send(tail);
    EXPECT_EQ(take(1024), cat({pattern(1000, 4), Bytes(tail.begin(), tail.begin() + 24)}));
    EXPECT_EQ(stream.bufferedCount(), 0);
}

TEST_F(UdpMedia, InterruptSilenceAndEmptyDatagrams) {
    int size = 0;
    socklen_t length = sizeof size;
    ASSERT_EQ(getsockopt(stream.socketFd(), SOL_SOCKET, SO_RCVBUF, &size, &length), 0);
    EXPECT_GE(size, 32768);
    WifiMediaStream second(localPort(stream.socketFd()));  // another client on the port
    EXPECT_EQ(second.open(), -10);
    EXPECT_EQ(second.openError(), EADDRINUSE);

    stream.setReceiveWaitMs(60000);
    Background read([&] { take(11); }, [&] { send({}); });
    ASSERT_TRUE(read.waiting());
    stream.interrupt();
    ASSERT_TRUE(read.endsWithin(3s));
    EXPECT_TRUE(read.threw);
    EXPECT_NE(fcntl(stream.socketFd(), F_GETFD), -1);  // released only by close()
    EXPECT_THROW(take(4), SocketErrorException);
    stream.close();
    // Reopened: silence gives -20 (after the whole wait, as the strangers'
    // test times), an empty datagram throws.
    ASSERT_EQ(stream.open(), 0);
    stream.setReceiveWaitMs(50);
    take(11, -20);
    send({});
    EXPECT_THROW(take(4), SocketErrorException);
}

// Two silent periods, a header promising more than its datagram holds
// (dropped with the rest of it), then payloads of each layout: what the
// codec makes of them is exactly libopus's decode; what it rejects (40 ms
// does not fit the frame; code 3 with no frames is malformed) still counts
// as read, as silence, and a 10 ms frame is padded with silence.
TEST_F(UdpMedia, PayloadsDecodeAsLibopusDoesAndTheRestIsSilence) {
    stream.setReceiveWaitMs(50);
    VoicePacket packet;
    EXPECT_EQ(read(&readPacketV4, packet, recorder), -40);
    EXPECT_EQ(read(&readPacketV4, packet, recorder), -40);
    send(v4(7 + 60, 8, pattern(40)));
    EXPECT_EQ(read(&readPacketV4, packet, recorder), -50);
    EXPECT_EQ(stream.bufferedCount(), 0);
    stream.setReceiveWaitMs(2000);
    auto payloads = encodeFrames(12);
    const size_t kDecoded = payloads.size();
    payloads.insert(payloads.end(), {encodeFrames(1, 2 * kFrameSamples)[0], {3, 0}, encodeFrames(1, kFrameSamples / 2)[0]});
    const std::pair<Reader, Bytes (*)(const Bytes&, int)> layouts[] = {
        {&readPacketV4, &v4Packet}, {&readPacketV3, &v23Packet}, {&readPacketV2, &v23Packet}};
    for (const auto& [reader, wrap] : layouts) {
        OpusVoiceDecoder decoder(kSampleRate, kChannels);
        ASSERT_TRUE(decoder.open());
        int error = 0;
        OpusDecoder* reference = opus_decoder_create(kSampleRate, kChannels, &error);
        for (size_t i = 0; i < payloads.size(); ++i) {
            send(wrap(payloads[i], 1));
            std::fill(std::begin(packet.samples), std::end(packet.samples), int16_t{999});
            packet.sampleCount = kFrameSamples;
            ASSERT_EQ(read(reader, packet, decoder), 0) << i;
            std::vector<int16_t> expected(kFrameSamples, 0);
            if (i < kDecoded) {
                EXPECT_EQ(opus_decode(reference, payloads[i].data(), int(payloads[i].size()), expected.data(),
                                      kFrameSamples, 0), kFrameSamples);
            }
            const int32_t from = i == payloads.size() - 1 ? kFrameSamples / 2 : 0;  // 10 ms: only the padding known
            EXPECT_EQ(packet.sampleCount, from != 0 ? from : kFrameSamples) << i;
            EXPECT_EQ(std::vector<int16_t>(packet.samples + from, std::end(packet.samples)),
                      std::vector<int16_t>(expected.begin() + from, expected.end())) << i;
        }
        opus_decoder_destroy(reference);
    }
}

// The phone is 127.0.0.1; strangers at 127.0.0.2 and ::1 send voice, junk
// and empty datagrams every 20 ms. None is served, fails the read or keeps
// its wait going; each is counted.
TEST_F(UdpMedia, StrangersAreNeitherServedNorWaitedForButCounted) {
    const uint16_t port = localPort(stream.socketFd());
    const Fd strangers[] = {datagramSocketFrom("127.0.0.2", "127.0.0.1", port), datagramSocketFrom("::1", "::1", port)};
    const auto frames = encodeFrames(2);
    const Bytes kinds[] = {v4Packet(frames[0], 77), pattern(40, 9), {}};
    std::atomic<uint32_t> sent{0};
    std::atomic<bool> stop{false};
    std::thread chatter([&] {
        for (uint32_t i = 0; !stop && i < 200; ++i, std::this_thread::sleep_for(20ms))
            sent += sendAll(strangers[i % 2].get(), kinds[i % 3]);
    });
    stream.setReceiveWaitMs(300);
    const auto start = Clock::now();
    VoicePacket packet;
    EXPECT_EQ(read(&readPacketV4, packet, recorder), -40);
    const long long waited = msSince(start);
    stop = true;
    chatter.join();
    EXPECT_GE(waited, 290);
    EXPECT_LT(waited, 3000);
    stream.setReceiveWaitMs(2000);
    send(v4Packet(frames[1], 5));  // behind all of theirs
    EXPECT_EQ(read(&readPacketV4, packet, recorder), 0);
    EXPECT_EQ(recorder.payload, frames[1]);
    EXPECT_EQ(stream.foreignDatagrams(), sent);
}

// With poll() failing at once (a descriptor limit of 0 refuses even one), a
// read still waits its full time, sleeping between attempts, not spinning.
TEST_F(UdpMedia, AFailingWaitNeitherShortensTheWaitNorSpins) {
    stream.setReceiveWaitMs(400);
    rlimit saved{}, none{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    none.rlim_max = saved.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    const auto start = Clock::now();
    const std::clock_t cpuStart = std::clock();  // the process's; no other thread runs
    take(11, -20);
    const double cpu = 1000.0 * double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    const long long waited = msSince(start);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_GE(waited, 390);
    EXPECT_LT(cpu, 0.1 * double(waited)) << "ms of CPU in a wait of " << waited << " ms";
}

// Serves every byte it is asked for out of one long run.
struct EndlessStream : MediaStream {
    explicit EndlessStream(Bytes b) : bytes(std::move(b)) {}
    int32_t read(uint8_t* buffer, int32_t count) override {
        requests.push_back(count);
        std::copy_n(bytes.begin() + long(std::exchange(offset, offset + size_t(count))), count, buffer);
        return 0;
    }
    void reset() override { ++resets; }
    Bytes bytes;
    size_t offset = 0;
    std::vector<int32_t> requests;
    int resets = 0;
};

// Both reads of each layout take the same bytes from the stream and give
// the same result and fields. A length the buffer cannot serve, or a wrong
// type, is refused before any payload read, with a reset. The codec is never
// offered more room than the frame, and no room when the caller gave none.
// Versions 2 and 3 leave the timestamp and gain alone.
TEST(PacketReader, HeadersLengthsAndWhatTheDecoderGets) {
    using RawReader = int32_t (*)(MediaStream&, RawMediaPacket&);
    constexpr int32_t kRefused = -1;
    const struct { Reader reader; RawReader raw; Bytes header; int32_t payload, sampleCount = 0, capacity = 0;
                   uint16_t sequence = 0; uint32_t timestamp = 0; uint8_t gain = 0; } cases[] = {
        {&readPacketV4, &readRawPacketV4, {4, 0, 0, 0x47, 1, 2, 0, 0, 3, 0xE8, 7}, 64, 960, 960, 258, 1000, 7},
        {&readPacketV4, &readRawPacketV4, v4(7, 9), 0, 0, 0, 9, 0, 5},  // no bytes, and no room asked for
        {&readPacketV4, &readRawPacketV4, v4(7 + 1024, 0xFFFF), 1024, -1, 960, 0xFFFF, 0, 5},  // the largest
        {&readPacketV4, &readRawPacketV4, v4(0, 1), kRefused},
        {&readPacketV4, &readRawPacketV4, v4(6, 1), kRefused},
        {&readPacketV4, &readRawPacketV4, v4(7 + 1025, 1), kRefused},
        {&readPacketV4, &readRawPacketV4, v4(0xFFFF, 1), kRefused},
        {&readPacketV4, &readRawPacketV4, v4(17, 8, {}, 4, 1), kRefused},  // wrong type
        {&readPacketV4, &readRawPacketV4, v4(17, 8, {}, 5, 0), kRefused},
        {&readPacketV3, &readRawPacketV3, v23(1024, 16), 1024, 5000, 960, 16, 0xDEADBEEF, 9},
        {&readPacketV3, &readRawPacketV3, v23(0xFFFF, 1), kRefused},
        {&readPacketV2, &readRawPacketV2, {0xAB, 0xCD, 1, 2, 0, 64}, 64, 961, 960, 258, 0xDEADBEEF, 9},
        {&readPacketV2, &readRawPacketV2, v23(1025, 1), kRefused},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.header));
        EndlessStream decoding(cat({c.header, pattern(2000)})), raw(decoding.bytes);
        RecordingDecoder decoder;
        VoicePacket packet;
        packet.timestamp = 0xDEADBEEF;
        packet.gainCode = 9;
        packet.sampleCount = c.sampleCount;
        std::fill(std::begin(packet.samples), std::end(packet.samples), int16_t{999});
        RawMediaPacket copy;
        copy.timestamp = 0xDEADBEEF;
        const int32_t result = c.reader(decoding, decoder, packet);
        EXPECT_EQ(result, c.payload == kRefused ? -50 : 0);
        EXPECT_EQ(c.raw(raw, copy), result);
        const int32_t size = int32_t(c.header.size());
        EXPECT_EQ(decoding.requests, (c.payload == kRefused ? std::vector<int32_t>{size}
                                                            : std::vector<int32_t>{size, c.payload}));
        EXPECT_EQ(raw.requests, decoding.requests);
        EXPECT_EQ(decoding.resets, c.payload == kRefused ? 1 : 0);
        EXPECT_EQ(raw.resets, decoding.resets);
        if (result != 0) continue;
        EXPECT_EQ(decoder.capacity, c.capacity);  // and what it did not fill is silence
        EXPECT_EQ(std::count(std::begin(packet.samples), std::end(packet.samples), 0), kFrameSamples - c.capacity);
        EXPECT_EQ(decoder.payload, Bytes(decoding.bytes.begin() + size, decoding.bytes.begin() + size + c.payload));
        EXPECT_EQ(Bytes(copy.payload, copy.payload + copy.length), decoder.payload);
        EXPECT_EQ(packet.rawSequence, c.sequence);
        EXPECT_EQ(copy.sequence, c.sequence);
        EXPECT_EQ(packet.timestamp, c.timestamp);
        EXPECT_EQ(copy.timestamp, c.timestamp);
        EXPECT_EQ(packet.gainCode, c.gain);
    }
}

}  // namespace
}  // namespace vexlink
