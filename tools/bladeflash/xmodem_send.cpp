#include "bladeflash/xmodem_send.hpp"

#include <algorithm>

namespace bladeflash {

uint16_t crc16(uint16_t crc, std::span<const uint8_t> data)
{
    for (const uint8_t b : data) {
        crc = static_cast<uint16_t>(crc ^ (b << 8));
        for (int i = 0; i < 8; ++i)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

std::vector<uint8_t> make_packet(std::span<const uint8_t> data, uint8_t block, bool use_crc)
{
    std::vector<uint8_t> p(3 + BLOCK, PAD);
    p[0] = STX;
    p[1] = block;
    p[2] = static_cast<uint8_t>(~block);
    std::copy_n(data.begin(), std::min(data.size(), BLOCK), p.begin() + 3);
    const std::span<const uint8_t> body(p.data() + 3, BLOCK);
    if (use_crc) {
        const uint16_t crc = crc16(0, body);
        p.push_back(static_cast<uint8_t>(crc >> 8));
        p.push_back(static_cast<uint8_t>(crc));
    } else {
        uint8_t sum = 0;
        for (const uint8_t b : body) sum = static_cast<uint8_t>(sum + b);
        p.push_back(sum);
    }
    return p;
}

const char* send_result_text(SendResult r)
{
    switch (r) {
    case SendResult::done: return "sent";
    case SendResult::cancelled: return "the board cancelled the transfer";
    case SendResult::refused: return "the board refused a packet too often";
    case SendResult::timeout: return "the board stopped answering";
    case SendResult::closed: return "the line closed";
    }
    return "?";
}

namespace {

enum class Answer { ack, resend, cancel, timeout, closed };

class Sender {
public:
    Sender(Line& line, const SendOptions& o) : line_(line), o_(o) {}

    SendResult run(std::span<const uint8_t> data)
    {
        SendResult r = invitation();
        if (r != SendResult::done) return finish(r);
        uint8_t block = 1;
        for (size_t at = 0; at < data.size(); at += BLOCK, ++block) {
            const auto packet = make_packet(data.subspan(at), block, use_crc_);
            if ((r = deliver(packet, at == 0)) != SendResult::done) return finish(r);
            if (o_.on_progress) o_.on_progress(std::min<uint64_t>(at + BLOCK, data.size()));
        }
        const uint8_t eot[] = {EOT};
        return finish(deliver(eot, false));
    }

private:
    // Text before the receiver starts (the console's own messages) is not
    // an invitation; only 'C', NAK or a CAN pair are.
    SendResult invitation()
    {
        for (int waited = 0; waited < o_.invite_ms;) {
            const int c = line_.get(200);
            if (c == WANT_CRC || c == NAK) {
                use_crc_ = c == WANT_CRC;
                // A receiver that invited more than once before we looked
                // must not have its stale invitations read as answers.
                while (line_.get(0) >= 0) {}
                return SendResult::done;
            }
            if (c == CAN && line_.get(1000) == CAN) return SendResult::cancelled;
            if (c == Line::CLOSED) return SendResult::closed;
            if (c == Line::TIMEOUT) waited += 200;
            if (o_.on_idle) o_.on_idle();
        }
        return SendResult::timeout;
    }

    Answer answer(bool first)
    {
        constexpr int NONE = -3;
        int next = NONE;  // what followed a lone CAN, still to be looked at
        for (;;) {
            const int c = next == NONE ? line_.get(o_.answer_ms) : next;
            next = NONE;
            if (c == ACK) return Answer::ack;
            // Before the first packet is taken the receiver asks again with 'C'.
            if (c == NAK || (first && c == WANT_CRC)) return Answer::resend;
            if (c == CAN) {
                next = line_.get(1000);
                if (next == CAN) return Answer::cancel;
                if (next == Line::TIMEOUT) next = NONE;
                continue;
            }
            if (c == Line::TIMEOUT) return Answer::timeout;
            if (c == Line::CLOSED) return Answer::closed;
        }
    }

    SendResult deliver(std::span<const uint8_t> frame, bool first)
    {
        for (int tries = 0; tries < o_.retries; ++tries) {
            if (!line_.put(frame)) return SendResult::closed;
            switch (answer(first)) {
            case Answer::ack: silent_ms_ = 0; return SendResult::done;
            case Answer::resend: silent_ms_ = 0; break;
            case Answer::cancel: return SendResult::cancelled;
            case Answer::closed: return SendResult::closed;
            case Answer::timeout:
                silent_ms_ += o_.answer_ms;
                if (silent_ms_ >= o_.silence_ms) return SendResult::timeout;
                break;
            }
        }
        return SendResult::refused;
    }

    SendResult finish(SendResult r)
    {
        if (r != SendResult::done && r != SendResult::cancelled && r != SendResult::closed) {
            const uint8_t cancel[] = {CAN, CAN};
            line_.put(cancel);
        }
        return r;
    }

    Line& line_;
    const SendOptions& o_;
    bool use_crc_ = true;
    int silent_ms_ = 0;
};

}  // namespace

SendResult xmodem_send(Line& line, std::span<const uint8_t> data, const SendOptions& options)
{
    return Sender(line, options).run(data);
}

}  // namespace bladeflash
