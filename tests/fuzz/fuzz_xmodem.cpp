// The XMODEM-1K receiver against a sender that sends anything, with any
// silences between. Input: chunks of [when][length][bytes]; `when` bit 7:
// wait for the receiver's next byte first; bits 0-6: then a pause of that
// many tenths of a second.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <optional>

#include "harness.hpp"
#include "launcher/xmodem.hpp"
#include "platform/platform.hpp"

struct OutOfTime {};

void fuzz::one_input(Input in, fake::Board& b)
{
    std::vector<std::pair<uint8_t, Bytes>> chunks;  // `when` and the bytes
    while (in.at < in.end) {
        const uint8_t when = in.byte();
        chunks.emplace_back(when, in.take(in.byte()));
    }
    size_t next = 0;
    std::optional<uint64_t> due;  // when chunk `next` goes out, unless it waits for the receiver's byte
    uint64_t done_at = 0;         // when the last chunk went out
    const auto plan = [&](uint64_t now, bool tx) {
        if (next < chunks.size() && !due && (tx || !(chunks[next].first & 0x80)))
            due = now + (chunks[next].first & 0x7Fu) * uint64_t{100'000};
    };
    const auto deliver = [&](uint64_t now) {
        while (due && now >= *due) {
            b.serial.rx.insert(b.serial.rx.end(), chunks[next].second.begin(), chunks[next].second.end());
            ++next;
            due.reset();
            done_at = now;
            plan(now, false);
        }
    };
    plan(0, false);
    b.serial.on_tx = [&](uint8_t) {
        if (!due) plan(b.now_us, true);  // the chunk that waits for this byte is due after its pause
        deliver(b.now_us);
    };
    // After the last byte the sender is silent; once a packet has been taken,
    // the receiver must give up within its retry budget (a few tens of seconds).
    b.on_time = [&](uint64_t now) {
        deliver(now);
        if (next == chunks.size() && now > done_at + 60'000'000) throw OutOfTime{};
    };

    const int fd = plat::open("/dev/ttyS0", O_RDWR | O_NONBLOCK);
    bool completed = false;
    try {
        const int total = bladeboot::xmodem_receive(fd, fd, "/tmp/download", &completed);
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
