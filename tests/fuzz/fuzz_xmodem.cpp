// The XMODEM-1K receiver against a sender that sends anything, with any
// silences between. Input: chunks of [when][length][bytes]; `when` bit 7:
// wait for the receiver's next byte first; bits 0-6: then a pause of that
// many tenths of a second.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "harness.hpp"
#include "launcher/xmodem.hpp"
#include "platform/platform.hpp"

using namespace bladeboot;

namespace {

struct Chunk {
    bool after_tx;
    uint64_t delay_us;
    std::vector<uint8_t> bytes;
};

struct Sender {
    std::vector<Chunk> chunks;
    size_t next = 0;
    std::optional<uint64_t> due;
    bool waiting_for_tx = false;
    uint64_t done_at = 0;  // when the last chunk went out

    void plan(uint64_t now)
    {
        due.reset();
        waiting_for_tx = false;
        if (next == chunks.size()) {
            done_at = now;
            return;
        }
        if (chunks[next].after_tx) {
            waiting_for_tx = true;
        } else {
            due = now + chunks[next].delay_us;
        }
    }
    void deliver_due(uint64_t now, fake::Serial& line)
    {
        while (due && now >= *due) {
            const Chunk& c = chunks[next++];
            line.rx.insert(line.rx.end(), c.bytes.begin(), c.bytes.end());
            plan(now);
        }
    }
};

// After the last byte the sender is silent; once a packet has been taken,
// the receiver must give up within its retry budget (a few tens of seconds).
constexpr uint64_t SILENCE_LIMIT_US = 60'000'000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::require_sandbox();
    fuzz::Input in(data, size);
    Sender sender;
    while (!in.empty()) {
        const uint8_t when = in.byte();
        const auto bytes = in.take(in.byte());
        sender.chunks.push_back({(when & 0x80) != 0, uint64_t{when & 0x7Fu} * 100'000, {bytes.begin(), bytes.end()}});
    }

    fuzz::Board board;
    fake::Board& b = board.b();
    sender.plan(0);
    b.serial.on_tx = [&](uint8_t) {
        if (!sender.waiting_for_tx) return;
        sender.waiting_for_tx = false;
        sender.due = b.now_us + sender.chunks[sender.next].delay_us;
        sender.deliver_due(b.now_us, b.serial);
    };
    b.on_time = [&](uint64_t now) {
        sender.deliver_due(now, b.serial);
        if (sender.next == sender.chunks.size() && now > sender.done_at + SILENCE_LIMIT_US) throw fuzz::OutOfTime{};
    };

    const int fd = plat::open("/dev/ttyS0", O_RDWR | O_NONBLOCK);
    bool completed = false;
    try {
        const int total = xmodem_receive(fd, fd, "/tmp/download", &completed);
        struct stat st {};
        if (total < 0 || ::stat("/tmp/download", &st) != 0) __builtin_trap();
        // A finished transfer wrote exactly what it counted.
        if (completed && st.st_size != total) __builtin_trap();
        if (!completed && total != 0) __builtin_trap();
    } catch (const fuzz::OutOfTime&) {
        // Inviting a sender that never starts goes on for ever; after an
        // accepted packet (an ACK on the line) silence must end the call.
        if (std::count(b.serial.tx.begin(), b.serial.tx.end(), uint8_t{0x06}) > 0) __builtin_trap();
    }
    plat::close(fd);
    return 0;
}
