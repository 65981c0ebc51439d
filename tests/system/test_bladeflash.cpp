// bladeflash: the sender against a scripted receiver; whole updates of a
// bladesim board through a pty, with faults on the wire.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "bladeflash/xmodem_send.hpp"

using namespace bladeflash;

namespace {

// A receiver that answers each frame the sender writes from a script
// (frame number -> bytes, "" for silence); unscripted frames get ACK.
struct ScriptedPeer : Line {
    std::deque<int> in;
    std::map<size_t, std::string> script;
    std::vector<std::vector<uint8_t>> frames;
    int waited_ms = 0;

    int get(int timeout_ms) override
    {
        if (in.empty()) {
            waited_ms += timeout_ms;
            return TIMEOUT;
        }
        const int c = in.front();
        in.pop_front();
        return c;
    }
    bool put(std::span<const uint8_t> bytes) override
    {
        const auto it = script.find(frames.size());
        frames.emplace_back(bytes.begin(), bytes.end());
        for (const char c : it == script.end() ? std::string(1, ACK) : it->second) in.push_back(static_cast<uint8_t>(c));
        return true;
    }
    // "1 2 2 E": packet block numbers, E for EOT, X for the CAN pair.
    std::string shape() const
    {
        std::string s;
        for (const auto& f : frames) {
            s += s.empty() ? "" : " ";
            s += f[0] == STX ? std::to_string(f[1]) : f[0] == EOT ? "E" : f[0] == CAN ? "X" : "?";
        }
        return s;
    }
};

const std::string ack(1, ACK), nak(1, NAK), can2 = {CAN, CAN};

struct SendCase {
    const char* name;
    std::string invite;
    std::map<size_t, std::string> script;
    SendResult result;
    const char* shape;
};

}  // namespace

TEST(Sender, AnswersToEachFrame)
{
    const SendCase cases[] = {
        // Our receiver answers the first EOT with NAK and the second with ACK.
        {"clean", "C", {{3, nak}}, SendResult::done, "1 2 3 E E"},
        {"stale invitations are not answers", "CCC", {}, SendResult::done, "1 2 3 E"},
        {"NAK resends", "C", {{1, nak}}, SendResult::done, "1 2 2 3 E"},
        {"C before the first ACK resends", "C", {{0, "C"}}, SendResult::done, "1 1 2 3 E"},
        {"silence resends", "C", {{2, ""}}, SendResult::done, "1 2 3 3 E"},
        {"garbage before the ACK is skipped", "xC", {{0, "zz" + ack}}, SendResult::done, "1 2 3 E"},
        {"receiver cancels", "C", {{1, can2}}, SendResult::cancelled, "1 2"},
        {"cancelled before the start", std::string(can2), {}, SendResult::cancelled, ""},
        {"a lone CAN is noise", "C", {{1, std::string(1, CAN) + ack}}, SendResult::done, "1 2 3 E"},
        {"NAK forever", "C", {{1, nak}, {2, nak}, {3, nak}}, SendResult::refused, "1 2 2 2 X"},
        {"silence forever", "C", {{1, ""}, {2, ""}, {3, ""}}, SendResult::timeout, "1 2 2 X"},
        {"no invitation", "", {}, SendResult::timeout, "X"},
    };
    std::vector<uint8_t> data(2500);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    for (const SendCase& c : cases) {
        ScriptedPeer peer;
        for (const char ch : c.invite) peer.in.push_back(static_cast<uint8_t>(ch));
        peer.script = c.script;
        SendOptions o;
        o.invite_ms = 3000, o.answer_ms = 1000, o.silence_ms = 2000, o.retries = 3;
        EXPECT_EQ(xmodem_send(peer, data, o), c.result) << c.name;
        EXPECT_EQ(peer.shape(), c.shape) << c.name;
    }
}

TEST(Sender, PacketsCarryTheDataPaddedWithCrcOrChecksum)
{
    EXPECT_EQ(crc16(0, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>("123456789"), 9)), 0x31C3);
    for (const bool crc : {true, false}) {
        ScriptedPeer peer;
        peer.in.push_back(crc ? 'C' : NAK);
        std::vector<uint8_t> data(257 * BLOCK + 1, 0x5A);
        data.back() = 0x33;
        std::vector<uint64_t> progress;
        SendOptions o;
        o.on_progress = [&](uint64_t n) { progress.push_back(n); };
        ASSERT_EQ(xmodem_send(peer, data, o), SendResult::done);
        ASSERT_EQ(peer.frames.size(), 259u);
        const auto& last = peer.frames[257];
        ASSERT_EQ(last.size(), crc ? 1029u : 1028u);
        EXPECT_EQ(peer.frames[255][1], 0u) << "block 256 wraps to 0";
        EXPECT_EQ(last[1], 2u);
        EXPECT_EQ(last[2], 0xFDu);
        EXPECT_EQ(last[3], 0x33u);
        EXPECT_EQ(last[4], PAD);
        EXPECT_EQ(last[1026], PAD);
        const std::span<const uint8_t> body(last.data() + 3, BLOCK);
        uint8_t sum = 0;
        for (const uint8_t b : body) sum = static_cast<uint8_t>(sum + b);
        if (crc)
            EXPECT_EQ(last[1027] << 8 | last[1028], crc16(0, body));
        else
            EXPECT_EQ(last[1027], sum);
        EXPECT_EQ(progress.back(), data.size());
        EXPECT_EQ(progress[0], BLOCK);
    }
}
