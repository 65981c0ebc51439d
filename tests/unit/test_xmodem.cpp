#include <fcntl.h>
#include <termios.h>

#include <cstring>
#include <deque>

#include "launcher/serial.hpp"
#include "launcher/xmodem.hpp"
#include "platform/platform.hpp"
#include "support.hpp"

using namespace unit;

namespace {

constexpr uint8_t SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18, C = 'C';
constexpr char OUT[] = "/tmp/received";

uint16_t bitwise_crc16(const Bytes& data)
{
    uint16_t crc = 0;
    for (uint8_t byte : data) {
        crc = static_cast<uint16_t>(crc ^ (byte << 8));
        for (int bit = 0; bit < 8; ++bit) crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

Bytes data(size_t size, uint8_t seed)
{
    Bytes d(size);
    for (size_t i = 0; i < size; ++i) d[i] = static_cast<uint8_t>(seed * 31 + i * 7);
    return d;
}

// Header, block, complement, data, CRC high and low; crc_xor spoils the CRC.
Bytes packet(uint8_t header, uint8_t block, const Bytes& d, uint16_t crc_xor = 0)
{
    const uint16_t crc = bitwise_crc16(d) ^ crc_xor;
    return Bytes{header, block, uint8_t(255 - block)} + d + Bytes{uint8_t(crc >> 8), uint8_t(crc)};
}

Bytes cans(size_t n) { return Bytes(n, CAN); }

// The sender's next move: when the receiver sends `answer`, these bytes arrive.
struct Move {
    uint8_t answer;
    Bytes bytes;
};

class Xmodem : public BoardTest {
protected:
    void script(std::vector<Move> moves)
    {
        moves_.assign(moves.begin(), moves.end());
        b().serial.on_tx = [this](uint8_t sent) {
            if (moves_.empty() || moves_.front().answer != sent) return;
            for (uint8_t byte : moves_.front().bytes) b().serial.rx.push_back(byte);
            moves_.pop_front();
        };
    }
    Outcome receive()
    {
        const int fd = plat::open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK);
        const Outcome o = run([&] { return xmodem_receive(fd, fd, OUT, &completed); });
        plat::close(fd);
        return o;
    }
    std::deque<Move> moves_;
    bool completed = false;
};

}  // namespace

TEST(XmodemCrc, TableMatchesTheBitwiseDefinition)
{
    for (int i = 0; i < 256; ++i) EXPECT_EQ(crctab[i], bitwise_crc16({static_cast<uint8_t>(i)})) << i;
    const Bytes check = bytes("123456789");
    EXPECT_EQ(xmodem_crc16(0, check.data(), check.size()), 0x31C3);
}

TEST_F(Xmodem, ReceiverAnswersEverySenderMoveAsTheProtocolSays)
{
    const Bytes d1 = data(128, 1), d2 = data(1024, 2), d3 = data(128, 3);
    const Bytes bad2 = packet(SOH, 2, d3, 0x0001), bad3 = packet(SOH, 3, d3, 0x8000), end = {EOT};
    const std::vector<Move> ok_end = {{ACK, end}, {NAK, end}};
    const auto then_end = [&](std::vector<Move> m) { return m.insert(m.end(), ok_end.begin(), ok_end.end()), m; };
    const struct {
        const char* name;
        std::vector<Move> moves;
        int result;
        Bytes sent;
        const char* err;
        Bytes file;
        uint64_t slept_s;
    } cases[] = {
        {"mixed sizes", then_end({{C, packet(SOH, 1, d1)}, {ACK, packet(STX, 2, d2)}, {ACK, packet(SOH, 3, d3)}}), 1280,
         {C, ACK, ACK, ACK, NAK, ACK}, "EOT\nAll done\n", d1 + d2 + d3, 0},
        {"repeat acknowledged, written once", then_end({{C, packet(SOH, 1, d1)}, {ACK, packet(SOH, 1, d1)}}), 128,
         {C, ACK, ACK, NAK, ACK}, "EOT\nAll done\n", d1, 1},
        {"EOT then silence", {{C, end}}, 0, {C, NAK, ACK}, "EOT\nAll done\n", {}, 5},
        {"block 0 first", then_end({{C, {SOH, 0, 255}}, {C, packet(SOH, 1, d1)}}), 128, {C, C, ACK, NAK, ACK},
         "EOT\nAll done\n", d1, 0},
        {"stray ACK first", then_end({{C, {ACK}}, {C, packet(SOH, 1, d1)}}), 128, {C, C, ACK, NAK, ACK},
         "EOT\nAll done\n", d1, 0},
        {"lone CAN first", then_end({{C, {CAN, 'x'}}, {C, packet(SOH, 1, d1)}}), 128, {C, C, ACK, NAK, ACK},
         "CAN\nEOT\nAll done\n", d1, 0},
        {"CAN pair first cancels", {{C, {CAN, 0x98}}}, 0, Bytes{C} + cans(5), "CAN\n", {}, 2},
        {"block pair disagrees first", then_end({{C, {SOH, 1, 1}}, {C, packet(SOH, 1, d1)}}), 128,
         {C, C, ACK, NAK, ACK}, "EOT\nAll done\n", d1, 0},
        {"first block above one", {{C, packet(SOH, 2, d1)}}, 0, Bytes{C} + cans(5), "", {}, 2},
        {"third fault cancels", {{C, packet(SOH, 1, d1)}, {ACK, bad2}, {NAK, bad2}, {NAK, bad2}}, 0,
         Bytes{C, ACK, NAK, NAK} + cans(5), "", d1, 6},
        {"good packet resets the count",
         then_end({{C, packet(SOH, 1, d1)}, {ACK, bad2}, {NAK, bad2}, {NAK, packet(SOH, 2, d3)}, {ACK, bad3},
                   {NAK, bad3}, {NAK, packet(SOH, 3, d3)}}),
         384, {C, ACK, NAK, NAK, ACK, NAK, NAK, ACK, NAK, ACK}, "EOT\nAll done\n", d1 + d3 + d3, 8},
        {"silence after a packet", then_end({{C, packet(SOH, 1, d1)}, {ACK, {}}, {NAK, packet(SOH, 2, d3)}}), 256,
         {C, ACK, NAK, ACK, NAK, ACK}, "EOT\nAll done\n", d1 + d3, 7},
        {"data cut short", then_end({{C, packet(SOH, 1, d1)}, {ACK, Bytes{STX, 2, 253} + data(1000, 2)},
                                     {NAK, packet(SOH, 2, d3)}}),
         256, {C, ACK, NAK, ACK, NAK, ACK}, "EOT\nAll done\n", d1 + d3, 7},
        {"ACK and CAN later are noise", then_end({{C, packet(SOH, 1, d1)}, {ACK, Bytes{ACK, CAN} + packet(SOH, 2, d3)}}),
         256, {C, ACK, ACK, NAK, ACK}, "EOT\nAll done\n", d1 + d3, 0},
        {"header after the first EOT goes on",
         then_end({{C, packet(SOH, 1, d1)}, {ACK, end}, {NAK, {SOH}}, {NAK, packet(SOH, 2, d3)}}), 256,
         {C, ACK, NAK, NAK, ACK, NAK, ACK}, "EOT\nEOT\nAll done\n", d1 + d3, 7},
        {"garbage after the first EOT", {{C, packet(SOH, 1, d1)}, {ACK, end}, {NAK, {'z'}}, {NAK, end}, {NAK, end}},
         128, {C, ACK, NAK, NAK, NAK, ACK}, "EOT\nEOT\nAll done\n", d1, 2},
        {"out of sequence", {{C, packet(SOH, 1, d1)}, {ACK, packet(SOH, 3, d3)}}, 0, Bytes{C, ACK} + cans(5), "", d1, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        script(c.moves);
        const Outcome o = receive();
        EXPECT_EQ(o.result, c.result);
        EXPECT_EQ(completed, c.result > 0 || c.sent.back() == ACK);
        EXPECT_EQ(b().serial.tx, c.sent);
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(read_file(OUT), std::string(c.file.begin(), c.file.end()));
        EXPECT_EQ(b().slept_us(), c.slept_s * 1'000'000u);
    }
}

TEST_F(Xmodem, BlockNumbersWrapAndAnIdleSenderIsInvitedOnceASecond)
{
    std::vector<Move> moves;
    Bytes expected;
    for (int n = 1; n <= 258; ++n) {
        const Bytes d = data(n % 2 ? 128 : 1024, uint8_t(n));
        moves.push_back({uint8_t(n == 1 ? C : ACK), packet(n % 2 ? SOH : STX, uint8_t(n), d)});
        expected = expected + d;
    }
    moves.push_back({ACK, {EOT}});
    moves.push_back({NAK, {EOT}});
    script(moves);
    b().on_time = [this](uint64_t now) {
        if (now == 3'000'000u) script({{C, packet(STX, 1, data(1024, 1))}});
    };
    EXPECT_EQ(receive().result, int(expected.size()));
    EXPECT_EQ(read_file(OUT), std::string(expected.begin(), expected.end()));
}

TEST_F(Xmodem, HandoverSwitchesToRaw8N1At115200AndPutsBackWhatWasThere)
{
    termios before{};
    before.c_iflag = ICRNL | IXON | ISTRIP;
    before.c_oflag = OPOST | ONLCR;
    before.c_cflag = CS7 | PARENB | CSTOPB | CREAD | CLOCAL | CRTSCTS;
    before.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN;
    before.c_cc[VMIN] = 5;
    cfsetspeed(&before, B9600);
    b().serial.attr = before;
    const Bytes d1 = data(1024, 1);
    b().serial.rx = {'x', 0x8D, 13, 'y'};  // 0x8D is CR with a parity bit: no Enter
    script({{C, packet(STX, 1, d1)}, {ACK, {EOT}}, {NAK, {EOT}}, {ACK, {'z', 10}}});
    const Outcome o = run([&] { return Xmodem1K(OUT, &completed); });
    EXPECT_EQ(o.result, 1024);
    EXPECT_TRUE(completed);
    EXPECT_EQ(o.out, "       Change the baud rate to 115200 bps and hit the <ENTER> key\n"
                     "       before initiating the download.\n"
                     "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n");
    EXPECT_EQ(std::memcmp(&oldtty, &before, sizeof before), 0);
    EXPECT_EQ(std::memcmp(&b().serial.attr, &before, sizeof before), 0) << "put back on the way out";
    EXPECT_EQ(b().serial.calls, (std::vector<std::string>{"tcdrain", "tcflush 2", "tcsetattr 1", "tcflow 1", "tcdrain",
                                                          "tcflush 2", "tcsetattr 1", "tcflow 1", "close"}));
    EXPECT_EQ(b().slept_us(), 3'000'000u) << "a second per byte that is not the awaited key";

    SetUp();  // a file that cannot take the data: the sender hears of it, not "done"
    script({{C, packet(STX, 1, d1)}, {ACK, {EOT}}, {NAK, {EOT}}});
    const int fd = plat::open("/dev/ttyS0", O_RDWR | O_NONBLOCK);
    EXPECT_EQ(run([&] { return xmodem_receive(fd, fd, "/dev/full", &completed); }).result, 0);
    plat::close(fd);
    EXPECT_FALSE(completed);
    EXPECT_EQ(std::count(b().serial.tx.begin(), b().serial.tx.end(), CAN), 5);
    SetUp();
    b().serial.exists = false;
    EXPECT_EQ(run([] { return Xmodem1K(OUT); }).result, -1);
    EXPECT_FALSE(std::filesystem::exists(OUT));
    EXPECT_TRUE(b().sleeps_us.empty());
    SetUp();
    b().serial.rx = {13, 10};
    const Outcome no_file = run([] { return Xmodem1K("/tmp/no/such/dir"); });
    EXPECT_EQ(no_file.result, -1);
    EXPECT_TRUE(no_file.err.starts_with("Can't open file!: "));
    EXPECT_EQ(b().serial.calls.back(), "close");
}

TEST_F(Xmodem, RemindersComeAfterElevenEmptyPollsThenEveryEleven)
{
    const std::string init = "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r\n";
    const std::string back = "\r\n    ... Waiting for the <ENTER> key to be hit...\r\n";
    for (auto [enter_at_s, reminders] : {std::pair{10, 0}, std::pair{11, 1}, std::pair{21, 1}, std::pair{34, 3}}) {
        SCOPED_TRACE(enter_at_s);
        SetUp();
        uint8_t key = 13;
        b().on_time = [&](uint64_t now_us) {
            if (now_us % 1'000'000u == 0 && now_us / 1'000'000u == uint64_t(enter_at_s)) b().serial.rx.push_back(key);
        };
        const Outcome in = run([] { return init_serial(); });
        b().now_us = 0;
        key = 10;
        const Outcome out = run([&] { return reset_serial(in.result), 0; });
        for (const auto& [text, reminder] : {std::pair{in.out, init}, std::pair{out.out, back}}) {
            size_t n = 0;
            for (size_t at = text.find(reminder); at != std::string::npos; at = text.find(reminder, at + 1)) ++n;
            EXPECT_EQ(n, size_t(reminders)) << text;
        }
    }
}
