// bladeflash: the sender against a scripted receiver; whole updates of a
// bladesim board through a pty, with faults on the wire.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>

#include "bladeflash/xmodem_send.hpp"
#include "bladeimg/image_builder.hpp"
#include "board_run.hpp"
#include "launcher/image.hpp"

using namespace bladeflash;

namespace {

using namespace systest;

const std::string ack(1, ACK), nak(1, NAK), can2 = {CAN, CAN};

// A receiver that answers each frame the sender writes from a script
// (frame number -> bytes, "" for silence); unscripted frames get ACK.
struct ScriptedPeer : Line {
    std::string in;  // for the sender to read, from `read` on
    std::map<size_t, std::string> script;
    std::vector<Bytes> frames;
    std::string shape;  // "1 2 2 E": packet block numbers, E for EOT, X for the CAN pair
    size_t read = 0;

    ScriptedPeer(std::string i, std::map<size_t, std::string> s = {}) : in(std::move(i)), script(std::move(s)) {}
    int get(int) override { return read < in.size() ? static_cast<uint8_t>(in[read++]) : TIMEOUT; }
    bool put(std::span<const uint8_t> f) override
    {
        in += script.contains(frames.size()) ? script[frames.size()] : ack;
        frames.emplace_back(f.begin(), f.end());
        shape += (shape.empty() ? "" : " ") + (f[0] == STX ? std::to_string(f[1]) : f[0] == EOT ? "E" : "X");
        return true;
    }
};

TEST(Sender, AnswersToEachFrame)
{
    const std::tuple<const char*, const char*, std::string, std::map<size_t, std::string>, SendResult> cases[] = {
        // Our receiver answers the first EOT with NAK and the second with ACK.
        {"clean", "1 2 3 E E", "C", {{3, nak}}, SendResult::done},
        {"stale invitations are not answers", "1 2 3 E", "CCC", {}, SendResult::done},
        {"NAK resends", "1 2 2 3 E", "C", {{1, nak}}, SendResult::done},
        {"C before the first ACK resends", "1 1 2 3 E", "C", {{0, "C"}}, SendResult::done},
        {"silence resends", "1 2 3 3 E", "C", {{2, ""}}, SendResult::done},
        {"garbage before the ACK is skipped", "1 2 3 E", "xC", {{0, "zz" + ack}}, SendResult::done},
        {"receiver cancels", "1 2", "C", {{1, can2}}, SendResult::cancelled},
        {"cancelled before the start", "", can2, {}, SendResult::cancelled},
        {"a lone CAN is noise", "1 2 3 E", "C", {{1, std::string(1, CAN) + ack}}, SendResult::done},
        {"NAK forever", "1 2 2 2 X", "C", {{1, nak}, {2, nak}, {3, nak}}, SendResult::refused},
        {"silence forever", "1 2 2 X", "C", {{1, ""}, {2, ""}, {3, ""}}, SendResult::timeout},
        {"no invitation", "X", "", {}, SendResult::timeout},
    };
    SendOptions o;
    o.invite_ms = 3000, o.answer_ms = 1000, o.silence_ms = 2000, o.retries = 3;
    for (const auto& [name, shape, invite, script, result] : cases) {
        ScriptedPeer peer(invite, script);
        EXPECT_EQ(xmodem_send(peer, std::vector<uint8_t>(2500, 0x11), o), result) << name;
        EXPECT_EQ(peer.shape, shape) << name;
    }
}

TEST(Sender, PacketsCarryTheDataPaddedWithCrcOrChecksum)
{
    EXPECT_EQ(crc16(0, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>("123456789"), 9)), 0x31C3);
    for (const bool crc : {true, false}) {
        ScriptedPeer peer(crc ? "C" : nak);
        const std::vector<uint8_t> data(257 * BLOCK + 1, 0x33);
        std::vector<uint64_t> progress;
        SendOptions o;
        o.on_progress = [&](uint64_t n) { progress.push_back(n); };
        ASSERT_EQ(xmodem_send(peer, data, o), SendResult::done);
        ASSERT_EQ(peer.frames.size(), 259u);
        EXPECT_EQ(peer.frames[255][1], 0u) << "block 256 wraps to 0";
        std::vector<uint8_t> last{STX, 2, 0xFD, 0x33};
        last.resize(3 + BLOCK, PAD);
        const uint16_t check = crc ? crc16(0, {last.data() + 3, BLOCK}) : static_cast<uint8_t>(0x33 + 1023 * PAD);
        if (crc) last.push_back(static_cast<uint8_t>(check >> 8));
        last.push_back(static_cast<uint8_t>(check));
        EXPECT_EQ(peer.frames[257], last);
        EXPECT_EQ(progress.front(), BLOCK);
        EXPECT_EQ(progress.back(), data.size());
    }
}

// ---- Whole updates of a bladesim board ---------------------------------------------

constexpr size_t FRAME = 3 + BLOCK + 2;

// What happens to the third packet on the wire, or to the package itself.
enum class Fault { none, corrupt, drop, cut, bad_package };

struct Flashed {
    int status = -1, board_status = -1, frames = 0;  // frames: packets sent, resends included
    std::string err, board;                          // what bladeflash reported, what the board said
};

// bladesim runs on a pty; bladeflash on a socket pair whose other end the
// test relays to the pty, doing the fault on the way.
Flashed flash(const Board& board, std::vector<std::string> args, Fault fault)
{
    args.insert(args.end(), {"-", board.path("package.img").string()});
    const std::string err_path = board.dir.string() + ".flash";
    const auto [master, sim] = on_pty({"run", board.dir.string(), "--speed", "10", "--timeout", "60"});
    int sv[2];
    if (master < 0 || ::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return {};
    const pid_t tool = start(BLADEFLASH_PATH, args, [&] {
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        return ::dup2(sv[1], 0) == 0 && ::dup2(sv[1], 1) == 1 && ::dup2(err, 2) == 2;
    });
    ::close(sv[1]);
    bool cut = false, ended = false;
    size_t sent = 0;
    std::string said;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!has_ended(tool) && std::chrono::steady_clock::now() < deadline) {
        // A board that has ended closes the line, as a socket would.
        if (!ended && has_ended(sim)) ended = true, ::shutdown(sv[0], SHUT_WR);
        pollfd p[2] = {{master, POLLIN, 0}, {sv[0], POLLIN, 0}};
        if (::poll(p, 2, 100) <= 0) continue;
        uint8_t buf[4096];
        if (p[0].revents & POLLIN) {
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0) said.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
            if (n > 0 && !cut && ::write(sv[0], buf, static_cast<size_t>(n)) != n) break;
        }
        const ssize_t n = p[1].revents & POLLIN ? ::read(sv[0], buf, sizeof buf) : 0;
        std::string to_board;
        for (ssize_t i = 0; i < n; ++i) {
            // Bytes count from the first packet's first byte.
            const size_t at = sent || buf[i] == STX ? sent++ : SIZE_MAX;
            const bool hit = at / FRAME == 2;
            cut |= fault == Fault::cut && hit;
            if (cut || (fault == Fault::drop && hit)) continue;
            to_board += static_cast<char>(fault == Fault::corrupt && hit && at % FRAME == 100 ? buf[i] ^ 0x40 : buf[i]);
        }
        if (!to_board.empty() && ::write(master, to_board.data(), to_board.size()) < 0) break;
    }
    const int status = finish(tool);
    // A board left at its menu is switched off; one that reboots ends by itself.
    if (!ended) ::usleep(300000);
    const int board_status = finish(sim);
    ::close(sv[0]), ::close(master);
    return {status, board_status, static_cast<int>(sent / FRAME), slurp(err_path), said};
}

struct FlashCase {
    const char *name, *said;  // said: in what bladeflash reported
    std::vector<std::string> options;
    Fault fault;
    // bladeflash's exit status, the slot that holds the package afterwards (0 none), packets sent
    int status, slot, frames;
};

void PrintTo(const FlashCase& c, std::ostream* os) { *os << c.name; }
class Bladeflash : public testing::TestWithParam<FlashCase> {};

TEST_P(Bladeflash, UpdatesTheBoardThroughItsConsole)
{
    const FlashCase& c = GetParam();
    const Board board;
    board.setenv({"diagnostics=rescue"});
    std::vector<uint8_t> payload(5500);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 31 + i / 7);
    auto package = bladeimg::make_image({bladeboot::IMAGE_APPLICATION, 0x02000007}, payload);
    package[300] ^= c.fault == Fault::bad_package;
    board.write("package.img", package);
    const auto slot1 = board.read("user/images/image1"), slot2 = board.read("user/images/image2");
    const Flashed run = flash(board, c.options, c.fault);

    EXPECT_EQ(run.status, c.status) << run.err << run.board;
    EXPECT_TRUE(contains(run.err, c.said)) << run.err;
    EXPECT_EQ(run.frames, c.frames);
    EXPECT_EQ(board.read("user/images/image1"), c.slot == 1 ? package : slot1);
    EXPECT_EQ(board.read("user/images/image2"), c.slot == 2 ? package : slot2);
    EXPECT_TRUE(!c.slot || board.read("eeprom.bin").at(256) == c.slot);
    EXPECT_TRUE(!contains(c.name, "reboot") || run.board_status == 3) << "rebooted";
    EXPECT_TRUE(c.fault != Fault::cut || board.boot("e").status == 0) << "the slots still boot";
}

const FlashCase flash_cases[] = {
    {"slot1_verify", "versions match", {"--slot", "1", "--verify"}, Fault::none, 0, 1, 6},
    {"slot2_reboot_json", "{\"result\":\"installed\"", {"--slot", "2", "--reboot", "--json"}, Fault::none, 0, 2, 6},
    {"corrupted", "installed into slot 1", {"--slot", "1"}, Fault::corrupt, 0, 1, 7},
    {"dropped", "installed into slot 2", {"--slot", "2"}, Fault::drop, 0, 2, 7},
    {"cut", "stopped answering", {"--slot", "1", "--timeout", "3"}, Fault::cut, 3, 0, 3},
    {"bad_package", "crc mismatch", {"--slot", "1"}, Fault::bad_package, 1, 0, 0},
};
INSTANTIATE_TEST_SUITE_P(Cases, Bladeflash, testing::ValuesIn(flash_cases),
                         [](const testing::TestParamInfo<FlashCase>& i) { return i.param.name; });

}  // namespace
