// The XMODEM-1K sender (CRC-16, falling back to the 8-bit checksum when the
// receiver invites with NAK), as lrzsz's sx -k talks to a receiver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace bladeflash {

constexpr uint8_t SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18, WANT_CRC = 'C';
constexpr uint8_t PAD = 0x1A;
constexpr size_t BLOCK = 1024;

// A byte line with timed reads; the sender measures time only by the
// timeouts it asks for, so a scripted peer needs no clock.
class Line {
public:
    virtual ~Line() = default;
    // A byte, TIMEOUT after timeout_ms of silence, or CLOSED.
    virtual int get(int timeout_ms) = 0;
    virtual bool put(std::span<const uint8_t> bytes) = 0;
    static constexpr int TIMEOUT = -1, CLOSED = -2;
};

uint16_t crc16(uint16_t crc, std::span<const uint8_t> data);

// One packet on the wire: STX, block, ~block, 1024 data bytes (the last
// padded with 0x1A), CRC-16 high byte first or the checksum.
std::vector<uint8_t> make_packet(std::span<const uint8_t> data, uint8_t block, bool use_crc);

enum class SendResult {
    done,       // EOT acknowledged
    cancelled,  // the receiver sent CAN CAN
    refused,    // a packet or the EOT was refused (NAK or garbage) too often
    timeout,    // the receiver stayed silent too long
    closed,     // the line went away
};
const char* send_result_text(SendResult r);

struct SendOptions {
    int invite_ms = 60000;      // longest wait for the receiver's first 'C' or NAK
    int answer_ms = 10000;      // wait for an answer to one packet before resending
    int silence_ms = 60000;     // give up after this much silence in all since the last answer
    int retries = 10;           // tries of one packet or of the EOT
    std::function<void()> on_idle;                         // often, while waiting for the invitation
    std::function<void(uint64_t acked)> on_progress;       // after every acknowledged packet
};

// Sends data; on every ending but done and cancelled, it cancels with CAN CAN.
SendResult xmodem_send(Line& line, std::span<const uint8_t> data, const SendOptions& options);

}  // namespace bladeflash
