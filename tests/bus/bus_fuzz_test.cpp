// Random and mutated bytes through the frame parser and into a live participant's socket: only
// well-formed frames are taken, nothing crashes, and the participant keeps serving.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <random>

#include "bus/bus_frame.h"
#include "bus/bus_participant.h"
#include "bus/bus_test_support.h"

namespace telkey {
namespace {

using namespace std::chrono_literals;

constexpr unsigned kSeed = 4711;

BusFrame RandomFrame(std::mt19937& rng) {
    return {static_cast<std::uint32_t>(rng()), static_cast<std::int32_t>(rng()),
            static_cast<std::int32_t>(rng())};
}

TEST(BusFuzzTest, ParserTakesOnlyWellFormedFrames) {
    std::mt19937 rng(kSeed);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int i = 0; i < 100000; ++i) {
        const BusFrame frame = RandomFrame(rng);
        auto bytes = EncodeBusFrame(frame);
        ASSERT_EQ(DecodeBusFrame(bytes), frame);

        // One byte changed: still a frame exactly when the magic survived.
        const std::size_t at = rng() % bytes.size();
        bytes[at] = static_cast<std::uint8_t>(byte(rng));
        const auto mutated = DecodeBusFrame(bytes);
        const bool magicIntact =
            bytes[0] == 0x54 && bytes[1] == 0x42 && bytes[2] == 0x4B && bytes[3] == 0x31;
        ASSERT_EQ(mutated.has_value(), magicIntact);

        // Any other length is never a frame.
        std::vector<std::uint8_t> random(rng() % 40);
        for (auto& b : random) b = static_cast<std::uint8_t>(byte(rng));
        if (random.size() >= 4 && (rng() % 2) == 0) std::memcpy(random.data(), bytes.data(), 4);
        const auto decoded = DecodeBusFrame(random);
        if (random.size() != kBusFrameSize) {
            ASSERT_FALSE(decoded.has_value());
        }
    }
    EXPECT_EQ(DecodeBusAnswer(EncodeBusAnswer(-123456)), -123456);
}

// Streams of valid frames followed by something broken, each on its own connection.
struct Stream {
    std::vector<std::uint8_t> bytes;
    int validFrames = 0;
};

Stream RandomStream(std::mt19937& rng) {
    Stream stream;
    stream.validFrames = static_cast<int>(rng() % 4);
    for (int i = 0; i < stream.validFrames; ++i) {
        const auto frame = EncodeBusFrame({kFirstBusMessageId, i, 0});
        stream.bytes.insert(stream.bytes.end(), frame.begin(), frame.end());
    }
    auto tail = EncodeBusFrame(RandomFrame(rng));
    switch (rng() % 4) {
        case 0:  // nothing more
            break;
        case 1:  // a truncated frame
            stream.bytes.insert(stream.bytes.end(), tail.begin(), tail.begin() + rng() % 16);
            break;
        case 2:  // a broken magic
            tail[rng() % 4] ^= static_cast<std::uint8_t>(1 + rng() % 255);
            stream.bytes.insert(stream.bytes.end(), tail.begin(), tail.end());
            break;
        default:  // random bytes
            for (std::size_t n = rng() % 100; n > 0; --n) {
                stream.bytes.push_back(static_cast<std::uint8_t>(rng()));
            }
            break;
    }
    return stream;
}

TEST(BusFuzzTest, ParticipantSurvivesRandomStreams) {
    test::ScratchBus scratch;
    BusParticipant bus(scratch.Path());
    int handled = 0;
    bus.SetHandler([&](std::uint32_t, std::int32_t, std::int32_t) { return ++handled; });

    std::mt19937 rng(kSeed + 1);
    std::vector<Stream> streams;
    int expected = 0;
    for (int i = 0; i < 300; ++i) {
        streams.push_back(RandomStream(rng));
        expected += streams.back().validFrames;
    }
    const std::string path = bus.SocketPath();
    const pid_t peer = test::Fork([&] {
        for (const Stream& stream : streams) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return 1;
            const timeval bound{5, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
            if (!stream.bytes.empty()) {
                ::send(fd, stream.bytes.data(), stream.bytes.size(), MSG_NOSIGNAL);
            }
            ::shutdown(fd, SHUT_WR);
            // Wait for the participant to finish with it: answers, then its hang-up.
            std::size_t answerBytes = 0;
            char buffer[64];
            ssize_t n = 0;
            while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
                answerBytes += static_cast<std::size_t>(n);
            }
            ::close(fd);
            if (n < 0 && errno == EAGAIN) return 2;  // neither answer nor hang-up in time
            if (answerBytes > stream.validFrames * kBusAnswerSize) return 3;
        }
        return 0;
    });
    int status = -1;
    ASSERT_TRUE(test::ServeUntil(
        bus,
        [&] {
            int raw = 0;
            if (::waitpid(peer, &raw, WNOHANG) != peer) return false;
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
            return true;
        },
        30s));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(handled, expected);
}

}  // namespace
}  // namespace telkey
