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
        ASSERT_TRUE(opus.open());
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
    int32_t read(Reader reader, VoicePacket& packet, VoiceDecoder* decoder = nullptr) {
        return reader(stream, decoder ? *decoder : opus, packet);
    }
    WifiMediaStream stream{0};  // port 0: a free one
    OpusVoiceDecoder opus{kSampleRate, kChannels};
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
    // Reopened: silence gives -20 after the wait, an empty datagram throws.
    ASSERT_EQ(stream.open(), 0);
    stream.setReceiveWaitMs(150);
    const auto start = Clock::now();
    take(11, -20);
    EXPECT_GE(msSince(start), 130);
    EXPECT_LT(msSince(start), 5000);
    send({});
    EXPECT_THROW(take(4), SocketErrorException);
}

TEST_F(UdpMedia, TwoSilentPeriodsThenHeadersParsedAndBadOnesDropped) {
    stream.setReceiveWaitMs(50);  // two silent periods first
    VoicePacket none;
    EXPECT_EQ(read(&readPacketV4, none), -40);
    EXPECT_EQ(read(&readPacketV4, none), -40);
    const Bytes v23Example = cat({{0xAB, 0xCD, 0x00, 0x10, 0x00, 0x40}, pattern(64)}), next = v4Packet(pattern(9));
    // Timestamp 0xDEADBEEF and gain 9 are the values a reader must leave alone.
    const struct { Reader reader; Bytes datagram; int32_t result; uint16_t sequence; uint32_t timestamp; uint8_t gain; }
        cases[] = {
        {&readPacketV4, cat({{4, 0, 0, 0x47, 1, 2, 0, 0, 3, 0xE8, 5}, pattern(64)}), 0, 258, 1000, 5},
        {&readPacketV3, v23Example, 0, 16, 0xDEADBEEF, 9},
        {&readPacketV2, v23Example, 0, 16, 0xDEADBEEF, 9},
        {&readPacketV4, v4(7, 3), 0, 3, 0, 5},  // length 7: the decoder gets no bytes
        {&readPacketV4, cat({v4(17, 8, pattern(10), 4, 1), next}), -50, 0, 0, 0},  // wrong type
        {&readPacketV4, cat({v4(17, 8, pattern(10), 5, 0), next}), -50, 0, 0, 0},
        {&readPacketV4, v4(7 + 60, 8, pattern(40)), -50, 0, 0, 0},  // longer than the datagram
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(Bytes(c.datagram.begin(), c.datagram.begin() + 6)));
        send(c.datagram);
        RecordingDecoder decoder;
        VoicePacket packet;
        packet.timestamp = 0xDEADBEEF;
        packet.gainCode = 9;
        packet.sampleCount = 5000;  // still never offered to the codec beyond the frame
        EXPECT_EQ(read(c.reader, packet, &decoder), c.result);
        EXPECT_EQ(stream.bufferedCount(), 0);
        EXPECT_EQ(decoder.capacity, c.result == 0 ? kFrameSamples : -1);
        if (c.result != 0) continue;
        EXPECT_EQ(packet.rawSequence, c.sequence);
        EXPECT_EQ(packet.timestamp, c.timestamp);
        EXPECT_EQ(packet.gainCode, c.gain);
        EXPECT_EQ(decoder.payload, Bytes(c.datagram.begin() + (c.reader == &readPacketV4 ? 11 : 6), c.datagram.end()));
    }
}

TEST_F(UdpMedia, OpusPayloadsDecodeExactlyAsLibopusDoes) {
    const auto frames = encodeFrames(12);
    const std::pair<Reader, Bytes (*)(const Bytes&, int)> layouts[] = {
        {&readPacketV4, &v4Packet}, {&readPacketV3, &v23Packet}, {&readPacketV2, &v23Packet}};
    for (const auto& [reader, wrap] : layouts) {
        OpusVoiceDecoder decoder(kSampleRate, kChannels);
        ASSERT_TRUE(decoder.open());
        int error = 0;
        OpusDecoder* reference = opus_decoder_create(kSampleRate, kChannels, &error);
        for (const Bytes& frame : frames) {
            send(wrap(frame, 1));
            VoicePacket packet;
            ASSERT_EQ(read(reader, packet, &decoder), 0);
            std::vector<int16_t> expected(kFrameSamples);
            EXPECT_EQ(opus_decode(reference, frame.data(), int(frame.size()), expected.data(), kFrameSamples, 0), 960);
            EXPECT_EQ(std::vector<int16_t>(packet.samples, std::end(packet.samples)), expected);
        }
        opus_decoder_destroy(reference);
    }
}

// A payload the codec rejects (40 ms does not fit the frame; code 3 with no
// frames is malformed) still counts as read, as silence; a 10 ms one is
// padded with silence.
TEST_F(UdpMedia, WhatTheCodecDoesNotProduceIsSilence) {
    const std::pair<Bytes, int32_t> cases[] = {
        {encodeFrames(1, 2 * kFrameSamples)[0], 0}, {{3, 0}, 0}, {encodeFrames(1, kFrameSamples / 2)[0], 480}};
    for (const auto& [payload, produced] : cases) {
        for (Reader reader : {&readPacketV2, &readPacketV4}) {
            send(reader == &readPacketV4 ? v4Packet(payload) : v23Packet(payload));
            VoicePacket packet;
            std::fill(std::begin(packet.samples), std::end(packet.samples), int16_t{999});
            EXPECT_EQ(read(reader, packet), 0);
            EXPECT_EQ(packet.sampleCount, produced ? produced : kFrameSamples);
            EXPECT_EQ(std::count(packet.samples + produced, std::end(packet.samples), 0), kFrameSamples - produced);
        }
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
    EXPECT_EQ(read(&readPacketV4, packet), -40);
    const long long waited = msSince(start);
    stop = true;
    chatter.join();
    EXPECT_GE(waited, 290);
    EXPECT_LT(waited, 3000);
    stream.setReceiveWaitMs(2000);
    send(v4Packet(frames[1], 5));  // behind all of theirs
    RecordingDecoder decoder;
    EXPECT_EQ(read(&readPacketV4, packet, &decoder), 0);
    EXPECT_EQ(decoder.payload, frames[1]);
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

TEST(PacketReaderLengthBounds, LengthsTheBufferCannotServeAreRefusedBeforeAnyPayloadRead) {
    const struct { Reader reader; Bytes header; int32_t result; } cases[] = {
        {&readPacketV4, v4(0, 1), -50},      {&readPacketV4, v4(6, 1), -50},     {&readPacketV4, v4(7 + 1025, 1), -50},
        {&readPacketV4, v4(0xFFFF, 1), -50}, {&readPacketV2, v23(1025, 1), -50}, {&readPacketV3, v23(0xFFFF, 1), -50},
        {&readPacketV4, v4(7 + 1024, 1), 0}, {&readPacketV3, v23(1024, 1), 0},  // the largest accepted
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.header));
        EndlessStream stream(cat({c.header, pattern(70000)}));
        RecordingDecoder decoder;
        VoicePacket packet;
        EXPECT_EQ(c.reader(stream, decoder, packet), c.result);
        const int32_t size = int32_t(c.header.size());
        EXPECT_EQ(stream.requests, (c.result ? std::vector<int32_t>{size} : std::vector<int32_t>{size, 1024}));
        EXPECT_EQ(stream.resets, c.result ? 1 : 0);
        EXPECT_EQ(decoder.payload.size(), c.result ? 0u : 1024u);
    }
}


// The raw reads take the same bytes from the stream and refuse the same
// headers as the decoding reads; what the decoder would get is the copy.
TEST(PacketReaderRaw, SameBytesAndResultsAsTheDecodingReads) {
    using RawReader = int32_t (*)(MediaStream&, RawMediaPacket&);
    const struct { Reader reader; RawReader raw; Bytes header; } cases[] = {
        {&readPacketV4, &readRawPacketV4, {4, 0, 0, 0x47, 1, 2, 0, 0, 3, 0xE8, 7}},
        {&readPacketV4, &readRawPacketV4, v4(7, 9)},           {&readPacketV4, &readRawPacketV4, v4(6, 1)},
        {&readPacketV4, &readRawPacketV4, v4(7 + 1025, 1)},    {&readPacketV4, &readRawPacketV4, v4(17, 1, {}, 5)},
        {&readPacketV4, &readRawPacketV4, v4(7 + 1024, 0xFFFF)}, {&readPacketV3, &readRawPacketV3, v23(1024, 16)},
        {&readPacketV2, &readRawPacketV2, v23(64, 258)},        {&readPacketV2, &readRawPacketV2, v23(1025, 1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.header));
        EndlessStream decoding(cat({c.header, pattern(2000)})), raw(decoding.bytes);
        RecordingDecoder decoder;
        VoicePacket packet;
        RawMediaPacket copy;
        copy.timestamp = 0xDEADBEEF;
        const int32_t result = c.raw(raw, copy);
        EXPECT_EQ(result, c.reader(decoding, decoder, packet));
        EXPECT_EQ(raw.requests, decoding.requests);
        EXPECT_EQ(raw.resets, decoding.resets);
        if (result != 0) continue;
        EXPECT_EQ(copy.sequence, packet.rawSequence);
        EXPECT_EQ(copy.timestamp, c.reader == &readPacketV4 ? packet.timestamp : 0xDEADBEEF);
        EXPECT_EQ(Bytes(copy.payload, copy.payload + copy.length), decoder.payload);
    }
}

}  // namespace
}  // namespace vexlink
