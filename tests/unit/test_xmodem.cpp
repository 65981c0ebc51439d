// XMODEM-1K receiver against scripted senders on the fake serial port: every
// answer the receiver gives triggers the sender's next move, and all waiting
// happens on the fake clock.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fakes/fake_platform.hpp"
#include "launcher/xmodem.hpp"
#include "platform/platform.hpp"

using namespace bladeboot;

namespace {

using Bytes = std::vector<uint8_t>;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

constexpr uint8_t SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18, C = 'C';
const char* const OUT = "/tmp/received";

uint16_t bitwise_crc16(const Bytes& data)
{
    uint16_t crc = 0;
    for (uint8_t byte : data) {
        crc = static_cast<uint16_t>(crc ^ (byte << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

Bytes payload(size_t size, uint8_t seed)
{
    Bytes data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(seed * 31 + i * 7);
    return data;
}

// header, block, complement, data, CRC high, CRC low; crc_xor spoils the CRC.
Bytes packet(uint8_t header, uint8_t block, const Bytes& data, uint16_t crc_xor = 0)
{
    Bytes p{header, block, static_cast<uint8_t>(255 - block)};
    p.insert(p.end(), data.begin(), data.end());
    const uint16_t crc = bitwise_crc16(data) ^ crc_xor;
    p.push_back(static_cast<uint8_t>(crc >> 8));
    p.push_back(static_cast<uint8_t>(crc));
    return p;
}

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes repeat(uint8_t byte, size_t n) { return Bytes(n, byte); }

Bytes file_bytes(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

class XmodemTest : public fake::BoardTest {
protected:
    // The sender's next move: when the receiver sends `answer`, these bytes
    // arrive on the line. Answers that match no move are only recorded.
    struct Move {
        uint8_t answer;
        Bytes bytes;
    };

    void script(std::vector<Move> moves)
    {
        moves_.assign(moves.begin(), moves.end());
        b().serial.on_tx = [this](uint8_t sent) {
            if (moves_.empty() || moves_.front().answer != sent) return;
            for (uint8_t byte : moves_.front().bytes) b().serial.rx.push_back(byte);
            moves_.pop_front();
        };
    }

    // The receiver on the fake port, without the handover.
    int receive()
    {
        const int fd = plat::open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK);
        EXPECT_GE(fd, 0);
        CaptureStderr();
        const int result = xmodem_receive(fd, fd, OUT, &completed_);
        stderr_ = GetCapturedStderr();
        plat::close(fd);
        return result;
    }

    const Bytes& sent() { return b().serial.tx; }

    std::deque<Move> moves_;
    bool completed_ = false;
    std::string stderr_;
};

TEST(XmodemCrc, TableAndCheckValueMatchTheBitwiseDefinition)
{
    for (int i = 0; i < 256; ++i) EXPECT_EQ(crctab[i], bitwise_crc16({static_cast<uint8_t>(i)})) << "entry " << i;
    const Bytes check = bytes_of("123456789");
    EXPECT_EQ(xmodem_crc16(0, check.data(), check.size()), 0x31C3);
    const Bytes long_data = payload(1024, 9);
    EXPECT_EQ(xmodem_crc16(0, long_data.data(), long_data.size()), bitwise_crc16(long_data));
}

TEST_F(XmodemTest, MixedPacketSizesAreAllWrittenAndTheEndIsConfirmedByASecondEot)
{
    const Bytes d1 = payload(128, 1), d2 = payload(1024, 2), d3 = payload(128, 3);
    script({{C, packet(SOH, 1, d1)}, {ACK, packet(STX, 2, d2)}, {ACK, packet(SOH, 3, d3)}, {ACK, {EOT}}, {NAK, {EOT}}});

    EXPECT_EQ(receive(), 128 + 1024 + 128);
    EXPECT_TRUE(completed_);
    EXPECT_EQ(file_bytes(OUT), d1 + d2 + d3);
    EXPECT_EQ(sent(), (Bytes{C, ACK, ACK, ACK, NAK, ACK}));
    EXPECT_EQ(stderr_, "EOT\nAll done\n");
}

TEST_F(XmodemTest, BlockNumbersCountPacketsAndWrapFrom255To0)
{
    std::vector<Move> moves;
    Bytes expected;
    for (int n = 1; n <= 258; ++n) {
        const Bytes data = payload(n % 2 ? 128 : 1024, static_cast<uint8_t>(n));
        moves.push_back({static_cast<uint8_t>(n == 1 ? C : ACK), packet(n % 2 ? SOH : STX, static_cast<uint8_t>(n), data)});
        expected = expected + data;
    }
    moves.push_back({ACK, {EOT}});
    moves.push_back({NAK, {EOT}});
    script(moves);

    EXPECT_EQ(receive(), static_cast<int>(expected.size()));
    EXPECT_EQ(file_bytes(OUT), expected);
}

TEST_F(XmodemTest, ARepeatedPacketIsAcknowledgedAgainButWrittenOnce)
{
    const Bytes d1 = payload(128, 1), d2 = payload(128, 2);
    script({{C, packet(SOH, 1, d1)}, {ACK, packet(SOH, 1, d1)}, {ACK, packet(SOH, 2, d2)}, {ACK, {EOT}}, {NAK, {EOT}}});

    EXPECT_EQ(receive(), 256);
    EXPECT_EQ(file_bytes(OUT), d1 + d2);
    EXPECT_EQ(sent(), (Bytes{C, ACK, ACK, ACK, NAK, ACK}));
    EXPECT_EQ(b().slept_us(), 1'000'000u) << "the repeat's ACK comes after one silent second";
}

TEST_F(XmodemTest, EotFollowedBySilenceEndsNormallyAfterFiveSeconds)
{
    script({{C, {EOT}}});
    EXPECT_EQ(receive(), 0);
    EXPECT_TRUE(completed_);
    EXPECT_EQ(sent(), (Bytes{C, NAK, ACK}));
    EXPECT_EQ(stderr_, "EOT\nAll done\n");
    EXPECT_EQ(b().slept_us(), 5'000'000u);
    EXPECT_TRUE(file_bytes(OUT).empty());
}

TEST_F(XmodemTest, ASenderThatNeverStartsIsInvitedOnceASecond)
{
    b().on_time = [this](uint64_t now) {
        if (now == 10'000'000u) b().serial.rx.push_back(EOT);
    };
    EXPECT_EQ(receive(), 0);
    EXPECT_TRUE(completed_);
    EXPECT_EQ(sent(), repeat(C, 11) + Bytes({NAK, ACK}));
}

// Faults before the first packet are answered with another invitation; the
// transfer then goes on normally.
struct InvitationCase {
    const char* name;
    Bytes noise;
    const char* stderr_text;
};

class InvitationTest : public XmodemTest, public testing::WithParamInterface<InvitationCase> {};

TEST_P(InvitationTest, FaultBeforeTheFirstPacketIsAnsweredWithC)
{
    const Bytes d1 = payload(1024, 5);
    script({{C, GetParam().noise}, {C, packet(STX, 1, d1)}, {ACK, {EOT}}, {NAK, {EOT}}});
    EXPECT_EQ(receive(), 1024);
    EXPECT_EQ(file_bytes(OUT), d1);
    EXPECT_EQ(sent(), (Bytes{C, C, ACK, NAK, ACK}));
    EXPECT_EQ(stderr_, std::string(GetParam().stderr_text) + "EOT\nAll done\n");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, InvitationTest,
    testing::Values(InvitationCase{"FirstBlockNumberedZero", {SOH, 0, 255}, ""},
                    InvitationCase{"StrayAck", {ACK}, ""},
                    InvitationCase{"LoneCan", {CAN, 'x'}, "CAN\n"},
                    InvitationCase{"BadCrc", packet(SOH, 1, payload(128, 1), 0x0100), ""},
                    InvitationCase{"BlockAndComplementDisagree", {SOH, 1, 1}, ""},
                    InvitationCase{"NoiseThenSilence", {'a', 'b', 0xFF}, ""}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(XmodemTest, ACanPairBeforeTheFirstPacketIsReportedOnceAndTheInvitationGoesOn)
{
    const Bytes d1 = payload(128, 1);
    // 0x98 is CAN with the parity bit set: still a CAN.
    script({{C, {CAN, 0x98}}, {C, packet(SOH, 1, d1)}, {ACK, {EOT}}, {NAK, {EOT}}});
    EXPECT_EQ(receive(), 128);
    EXPECT_EQ(stderr_, "CAN\nEOT\nAll done\n");
    EXPECT_EQ(sent(), (Bytes{C, C, ACK, NAK, ACK}));
    EXPECT_EQ(b().slept_us(), 1'000'000u) << "the pair is no fault: only the next header wait times out";
}

TEST_F(XmodemTest, AFirstPacketNumberedAboveOneCancels)
{
    script({{C, packet(SOH, 2, payload(128, 2))}});
    EXPECT_EQ(receive(), 0);
    EXPECT_FALSE(completed_);
    EXPECT_EQ(sent(), (Bytes{C}) + repeat(CAN, 5));
    EXPECT_TRUE(file_bytes(OUT).empty());
}

TEST_F(XmodemTest, ThirdFaultSinceTheLastGoodPacketCancelsAndKeepsWhatWasWritten)
{
    const Bytes d1 = payload(128, 1), d2 = payload(128, 2);
    const Bytes bad = packet(SOH, 2, d2, 0x0001);
    script({{C, packet(SOH, 1, d1)}, {ACK, bad}, {NAK, bad}, {NAK, bad}});
    EXPECT_EQ(receive(), 0);
    EXPECT_FALSE(completed_);
    EXPECT_EQ(sent(), (Bytes{C, ACK, NAK, NAK}) + repeat(CAN, 5));
    EXPECT_EQ(file_bytes(OUT), d1);
    EXPECT_EQ(b().slept_us(), 6'000'000u) << "two NAKs and the cancel each wait for 2 s of silence";
}

TEST_F(XmodemTest, AGoodPacketResetsTheFaultCount)
{
    const Bytes d1 = payload(128, 1), d2 = payload(128, 2), d3 = payload(128, 3);
    const Bytes bad2 = packet(SOH, 2, d2, 0x8000), bad3 = packet(SOH, 3, d3, 0x8000);
    script({{C, packet(SOH, 1, d1)}, {ACK, bad2}, {NAK, bad2}, {NAK, packet(SOH, 2, d2)},
            {ACK, bad3}, {NAK, bad3}, {NAK, packet(SOH, 3, d3)}, {ACK, {EOT}}, {NAK, {EOT}}});
    EXPECT_EQ(receive(), 384);
    EXPECT_EQ(file_bytes(OUT), d1 + d2 + d3);
}

// Faults after the first packet: each costs a NAK, and the sender's resend
// gets through.
struct NakCase {
    const char* name;
    Bytes fault;
};

class NakTest : public XmodemTest, public testing::WithParamInterface<NakCase> {};

TEST_P(NakTest, FaultAfterAGoodPacketIsAnsweredWithNak)
{
    const Bytes d1 = payload(128, 1), d2 = payload(1024, 2);
    script({{C, packet(SOH, 1, d1)}, {ACK, GetParam().fault}, {NAK, packet(STX, 2, d2)}, {ACK, {EOT}}, {NAK, {EOT}}});
    EXPECT_EQ(receive(), 128 + 1024);
    EXPECT_TRUE(completed_);
    EXPECT_EQ(file_bytes(OUT), d1 + d2);
    EXPECT_EQ(sent(), (Bytes{C, ACK, NAK, ACK, NAK, ACK}));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, NakTest,
    testing::Values(NakCase{"Silence", {}}, NakCase{"HeaderThenSilence", {STX}},
                    NakCase{"BlockNumberThenSilence", {STX, 2}}, NakCase{"NoDataAfterBlockNumbers", {STX, 2, 253}},
                    NakCase{"DataCutShort", Bytes{STX, 2, 253} + payload(1000, 2)},
                    NakCase{"CrcLowByteMissing", Bytes{STX, 2, 253} + payload(1024, 2) + Bytes{0x12}},
                    NakCase{"FlippedDataBit",
                            [] {
                                Bytes p = packet(STX, 2, payload(1024, 2));
                                p[500] ^= 0x10;
                                return p;
                            }()}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(XmodemTest, AckAndCanAfterTheFirstPacketAreNoise)
{
    const Bytes d1 = payload(128, 1), d2 = payload(128, 2);
    script({{C, packet(SOH, 1, d1)}, {ACK, Bytes{ACK, CAN, CAN} + packet(SOH, 2, d2)}, {ACK, {EOT}}, {NAK, {EOT}}});
    EXPECT_EQ(receive(), 256);
    EXPECT_EQ(stderr_, "EOT\nAll done\n");
    EXPECT_EQ(sent(), (Bytes{C, ACK, ACK, NAK, ACK}));
}

// What follows the NAK to an EOT decides: a header byte means the EOT was
// noise (no fault), anything else is a fault.
TEST_F(XmodemTest, AHeaderByteAfterTheFirstEotMeansTheTransferGoesOn)
{
    const Bytes d1 = payload(128, 1), d2 = payload(128, 2);
    script({{C, packet(SOH, 1, d1)}, {ACK, {EOT}}, {NAK, {SOH}}, {NAK, packet(SOH, 2, d2)}, {ACK, {EOT}}, {NAK, {EOT}}});
    EXPECT_EQ(receive(), 256);
    EXPECT_EQ(file_bytes(OUT), d1 + d2);
    EXPECT_EQ(sent(), (Bytes{C, ACK, NAK, NAK, ACK, NAK, ACK}));
    EXPECT_EQ(b().slept_us(), 7'000'000u) << "5 s header wait after the lone SOH, then 2 s before the NAK";
}

TEST_F(XmodemTest, GarbageAfterTheFirstEotIsAFault)
{
    const Bytes d1 = payload(128, 1);
    script({{C, packet(SOH, 1, d1)}, {ACK, {EOT}}, {NAK, {'z'}}, {NAK, {EOT}}, {NAK, {EOT}}});
    EXPECT_EQ(receive(), 128);
    EXPECT_TRUE(completed_);
    EXPECT_EQ(sent(), (Bytes{C, ACK, NAK, NAK, NAK, ACK}));
    EXPECT_EQ(stderr_, "EOT\nEOT\nAll done\n");
}

TEST_F(XmodemTest, OutOfSequenceBlockCancelsAtOnce)
{
    script({{C, packet(SOH, 1, payload(128, 1))}, {ACK, packet(SOH, 3, payload(128, 3))}});
    EXPECT_EQ(receive(), 0);
    EXPECT_FALSE(completed_);
    EXPECT_EQ(sent(), (Bytes{C, ACK}) + repeat(CAN, 5));
    EXPECT_EQ(b().slept_us(), 2'000'000u);
}

// Xmodem1K itself: the handover around the transfer.
TEST_F(XmodemTest, Xmodem1KTakesThePortTransfersAndHandsItBack)
{
    const Bytes d1 = payload(1024, 1);
    b().serial.rx = {13};
    script({{C, packet(STX, 1, d1)}, {ACK, {EOT}}, {NAK, {EOT}}, {ACK, {10}}});
    CaptureStdout();
    CaptureStderr();
    bool completed = false;
    EXPECT_EQ(Xmodem1K(OUT, &completed), 1024);
    const std::string err = GetCapturedStderr();
    const std::string out = GetCapturedStdout();
    EXPECT_TRUE(completed);
    EXPECT_EQ(err, "EOT\nAll done\n");
    EXPECT_NE(out.find("115200"), std::string::npos);
    EXPECT_NE(out.find("back to 9600"), std::string::npos);
    EXPECT_EQ(file_bytes(OUT), d1);
    EXPECT_EQ(b().serial.calls.back(), "close");
    EXPECT_FALSE(b().serial.open_);
}

TEST_F(XmodemTest, Xmodem1KWithoutThePortReturnsMinusOneAndCreatesNothing)
{
    b().serial.exists = false;
    CaptureStderr();
    EXPECT_EQ(Xmodem1K(OUT), -1);
    EXPECT_EQ(GetCapturedStderr().rfind("Can't open serial port!", 0), 0u);
    EXPECT_FALSE(std::ifstream(OUT).good());
    EXPECT_TRUE(b().sleeps_us.empty());
}

TEST_F(XmodemTest, Xmodem1KHandsThePortBackWhenTheFileCannotBeCreated)
{
    b().serial.rx = {13, 10};
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(Xmodem1K("/tmp/no/such/dir"), -1);
    EXPECT_EQ(GetCapturedStderr().rfind("Can't open file!: ", 0), 0u);
    EXPECT_NE(GetCapturedStdout().find("back to 9600"), std::string::npos);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(b().serial.calls.back(), "close");
}

}  // namespace
