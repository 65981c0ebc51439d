// The XMODEM-1K receiver against a sender that sends anything, with any
// silences between. Input: chunks of [when][length][bytes]; `when` bit 7:
// wait for the receiver's next byte first; bits 0-6: then a pause of that
// many tenths of a second.
#include <fcntl.h>

#include <algorithm>
#include <optional>

#include "harness.hpp"
#include "launcher/xmodem.hpp"
#include "platform/platform.hpp"

struct OutOfTime {};

void fuzz::one_input(Input in, fake::Board& b)
{
    std::vector<std::pair<uint8_t, Bytes>> chunks;  // `when` and the bytes
    // A braced list is read left to right: `when` first.
    while (in.at < in.end) chunks.push_back({in.byte(), in.take(in.byte())});
    size_t next = 0;
    std::optional<uint64_t> due;  // when chunk `next` goes out, unless it waits for the receiver's byte
    uint64_t done_at = 0;         // when the last chunk went out
    const auto plan = [&](uint64_t now, bool tx) {
        if (next < chunks.size() && !due && (tx || !(chunks[next].first & 0x80)))
            due = now + (chunks[next].first & 0x7Fu) * uint64_t{100'000};
    };
    // Whatever is due by now goes out; tx: the receiver has just sent a byte.
    const auto deliver = [&](uint64_t now, bool tx) {
        // The chunk that waits for the receiver's byte is due after its pause, and each sent one plans the next.
        for (plan(now, tx); due && now >= *due; plan(now, false)) {
            for (uint8_t byte : chunks[next++].second) b.serial.rx.push_back(byte);
            due.reset();
            done_at = now;
        }
    };
    plan(0, false);
    b.serial.on_tx = [&](uint8_t) { deliver(b.now_us, true); };
    // After the last byte the sender is silent; once a packet has been taken,
    // the receiver must give up within its retry budget (a few tens of seconds).
    b.on_time = [&](uint64_t now) {
        deliver(now, false);
        if (next == chunks.size() && now > done_at + 60'000'000) throw OutOfTime{};
    };

    const int fd = plat::open("/dev/ttyS0", O_RDWR | O_NONBLOCK);
    bool completed = false;
    try {
        const int total = xmodem_receive(fd, fd, "/tmp/download", &completed);
        struct stat st {};
        // A finished transfer wrote exactly what it counted, an unfinished one counts nothing.
        check(total >= 0 && ::stat("/tmp/download", &st) == 0 && (completed ? st.st_size == total : total == 0));
    } catch (const OutOfTime&) {
        // Inviting a sender that never starts goes on for ever; after an
        // accepted packet (an ACK on the line) silence must end the call.
        check(std::count(b.serial.tx.begin(), b.serial.tx.end(), uint8_t{0x06}) == 0);
    }
    plat::close(fd);
}
