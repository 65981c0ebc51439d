#include <fcntl.h>

#include <cstring>

#include "launcher/serial.hpp"
#include "launcher/xmodem.hpp"
#include "platform/platform.hpp"
#include "support.hpp"

using namespace unit;

namespace {

constexpr uint8_t SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18, C = 'C';
constexpr char OUT[] = "/tmp/received", DONE[] = "EOT\nAll done\n";
const Bytes CANCEL(5, CAN);

Bytes data(size_t size, uint8_t seed)
{
    Bytes d(size);
    for (size_t i = 0; i < size; ++i) d[i] = static_cast<uint8_t>(seed * 31 + i * 7);
    return d;
}

// Header, block, complement, data, CRC high and low; crc_xor spoils the CRC.
// The receiver's own CRC: a sender's independent one is the system tests'.
Bytes packet(uint8_t header, uint8_t block, const Bytes& d, uint16_t crc_xor = 0)
{
    const uint16_t crc = xmodem_crc16(0, d.data(), d.size()) ^ crc_xor;
    return Bytes{header, block, uint8_t(255 - block)} + d + Bytes{uint8_t(crc >> 8), uint8_t(crc)};
}

std::string to_string(const Bytes& b) { return {b.begin(), b.end()}; }

// The sender's next move: when the receiver sends `answer`, these bytes arrive.
struct Move { uint8_t answer; Bytes bytes; };

class Xmodem : public BoardTest {
protected:
    // After the given moves the sender ends as a sender does: EOT, and EOT again on NAK.
    void script(std::vector<Move> moves)
    {
        moves_.assign(moves.begin(), moves.end());
        moves_.insert(moves_.end(), {{ACK, {EOT}}, {NAK, {EOT}}});
        b().serial.on_tx = [this](uint8_t sent) {
            if (moves_.empty() || moves_.front().answer != sent) return;
            for (uint8_t byte : moves_.front().bytes) b().serial.rx.push_back(byte);
            moves_.pop_front();
        };
    }
    Outcome receive(const char* path = OUT)
    {
        const int fd = plat::open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK);  // the next reset closes it
        return run([&] { return xmodem_receive(fd, fd, path, &completed); });
    }
    std::deque<Move> moves_;
    bool completed = false;
};

}  // namespace

TEST_F(Xmodem, ReceiverAnswersEverySenderMoveAsTheProtocolSays)
{
    const Bytes d1 = data(128, 1), d2 = data(1024, 2), d3 = data(128, 3), p1 = packet(SOH, 1, d1);
    const Bytes p2 = packet(SOH, 2, d3), bad2 = packet(SOH, 2, d3, 0x0001), bad3 = packet(SOH, 3, d3, 0x8000);
    const struct {
        const char* name;
        std::vector<Move> moves;
        int result;
        Bytes sent, file;
        uint64_t slept_s;
        const char* err = DONE;
        const char* path = OUT;
    } cases[] = {
        {"mixed sizes", {{C, p1}, {ACK, packet(STX, 2, d2)}, {ACK, packet(SOH, 3, d3)}}, 1280,
         {C, ACK, ACK, ACK, NAK, ACK}, d1 + d2 + d3, 0},
        {"repeat acknowledged, written once", {{C, p1}, {ACK, p1}}, 128, {C, ACK, ACK, NAK, ACK}, d1, 1},
        {"EOT then silence", {{C, {EOT}}}, 0, {C, NAK, ACK}, {}, 5},
        // Before the first packet a fault only repeats the invitation, however many.
        {"block 0, stray ACK, lone CAN, pair disagreeing first",
         {{C, {SOH, 0, 255}}, {C, {ACK}}, {C, {CAN, 'x'}}, {C, {SOH, 1, 1}}, {C, p1}}, 128,
         {C, C, C, C, C, ACK, NAK, ACK}, d1, 0, "CAN\nEOT\nAll done\n"},
        {"CAN pair first cancels", {{C, {CAN, 0x98}}}, 0, Bytes{C} + CANCEL, {}, 2, "CAN\n"},
        {"first block above one", {{C, packet(SOH, 2, d1)}}, 0, Bytes{C} + CANCEL, {}, 2, ""},
        {"third fault cancels", {{C, p1}, {ACK, bad2}, {NAK, bad2}, {NAK, bad2}}, 0, Bytes{C, ACK, NAK, NAK} + CANCEL,
         d1, 6, ""},
        {"good packet resets the count",
         {{C, p1}, {ACK, bad2}, {NAK, bad2}, {NAK, p2}, {ACK, bad3}, {NAK, bad3}, {NAK, packet(SOH, 3, d3)}}, 384,
         {C, ACK, NAK, NAK, ACK, NAK, NAK, ACK, NAK, ACK}, d1 + d3 + d3, 8},
        {"silence after a packet, then data cut short", {{C, p1}, {ACK, {}}, {NAK, Bytes{STX, 2, 253} + data(1000, 2)},
         {NAK, p2}}, 256, {C, ACK, NAK, NAK, ACK, NAK, ACK}, d1 + d3, 14},
        {"ACK and CAN later are noise", {{C, p1}, {ACK, Bytes{ACK, CAN} + p2}}, 256, {C, ACK, ACK, NAK, ACK}, d1 + d3, 0},
        {"header after the first EOT goes on", {{C, p1}, {ACK, {EOT}}, {NAK, {SOH}}, {NAK, p2}}, 256,
         {C, ACK, NAK, NAK, ACK, NAK, ACK}, d1 + d3, 7, "EOT\nEOT\nAll done\n"},
        {"garbage after the first EOT", {{C, p1}, {ACK, {EOT}}, {NAK, {'z'}}, {NAK, {EOT}}, {NAK, {EOT}}}, 128,
         {C, ACK, NAK, NAK, NAK, ACK}, d1, 2, "EOT\nEOT\nAll done\n"},
        {"out of sequence", {{C, p1}, {ACK, packet(SOH, 3, d3)}}, 0, Bytes{C, ACK} + CANCEL, d1, 2, ""},
        // Stored only at the flush before the last ACK: the sender hears of it, not done.
        {"cannot be stored", {{C, packet(STX, 1, d2)}}, 0, Bytes{C, ACK, NAK} + CANCEL, {}, 2, "EOT\n", "/dev/full"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        script(c.moves);
        const Outcome o = receive(c.path);
        EXPECT_EQ(std::tuple(o.result, completed, b().slept_us()),
                  std::tuple(c.result, c.result > 0 || c.sent.back() == ACK, c.slept_s * 1'000'000u));
        EXPECT_EQ(b().serial.tx, c.sent);
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(read_file(OUT), to_string(c.file));
    }
    // Block numbers wrap; an idle sender is invited once a second.
    SetUp();
    std::vector<Move> moves;
    Bytes expected;
    for (int n = 1; n <= 258; ++n) {
        const Bytes d = data(n % 2 ? 128 : 1024, uint8_t(n));
        moves.push_back({uint8_t(n == 1 ? C : ACK), packet(n % 2 ? SOH : STX, uint8_t(n), d)});
        expected = expected + d;
    }
    b().on_time = [&](uint64_t now) {
        if (now == 3'000'000u) script(moves);
    };
    EXPECT_EQ(receive().result, int(expected.size()));
    EXPECT_EQ(read_file(OUT), to_string(expected));
    EXPECT_EQ(Bytes(b().serial.tx.begin(), b().serial.tx.begin() + 5), (Bytes{C, C, C, C, ACK})) << "one a second";
}

TEST_F(Xmodem, HandoverSwitchesToRaw8N1At115200AndPutsBackWhatWasThere)
{
    termios before{};
    before.c_iflag = ICRNL | IXON | ISTRIP, before.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN;
    before.c_cflag = CS7 | PARENB | CSTOPB | CREAD | CLOCAL | CRTSCTS, before.c_oflag = OPOST | ONLCR;
    before.c_cc[VMIN] = 5, cfsetspeed(&before, B9600);
    b().serial.attr = before;
    b().serial.rx = {'x', 0x8D, 13, 'y'};  // 0x8D is CR with a parity bit: no Enter
    script({{C, packet(STX, 1, data(1024, 1))}});
    moves_.push_back({ACK, {'z', 10}});
    const Outcome o = run([&] { return Xmodem1K(OUT, &completed); });
    EXPECT_EQ(std::pair(o.result, completed), std::pair(1024, true));
    EXPECT_EQ(o.out, "       Change the baud rate to 115200 bps and hit the <ENTER> key\n"
                     "       before initiating the download.\n"
                     "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n");
    // Kept, and put back on the way out.
    EXPECT_TRUE(!memcmp(&oldtty, &before, sizeof before) && !memcmp(&b().serial.attr, &before, sizeof before));
    EXPECT_EQ(b().serial.calls, (std::vector<std::string>{"tcdrain", "tcflush 2", "tcsetattr 1", "tcflow 1", "tcdrain",
                                                          "tcflush 2", "tcsetattr 1", "tcflow 1", "close"}));
    EXPECT_EQ(b().slept_us(), 3'000'000u) << "a second per byte that is not the awaited key";

    // A missing port means -1 before any wait, an unopenable file -1 with the port put back.
    SetUp();
    b().serial.exists = false;
    EXPECT_EQ(run([] { return Xmodem1K(OUT); }).result, -1);
    EXPECT_FALSE(std::filesystem::exists(OUT) || !b().sleeps_us.empty());
    SetUp();
    b().serial.rx = {13, 10};
    const Outcome no_file = run([] { return Xmodem1K("/tmp/no/such/dir"); });
    EXPECT_TRUE(no_file.result == -1 && no_file.err.starts_with("Can't open file!: ")) << no_file.err;
    EXPECT_EQ(b().serial.calls.back(), "close");
}
