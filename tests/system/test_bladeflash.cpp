// bladeflash: the sender against a scripted receiver; whole updates of a
// bladesim board through a pty, with faults on the wire.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "board_run.hpp"
#include "bladeflash/xmodem_send.hpp"
#include "bladeimg/image_builder.hpp"
#include "launcher/image.hpp"

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
        const std::vector<uint8_t> head(last.begin(), last.begin() + 5), pad(last.begin() + 4, last.begin() + 1027);
        EXPECT_EQ(head, (std::vector<uint8_t>{STX, 2, 0xFD, 0x33, PAD}));
        EXPECT_EQ(pad, std::vector<uint8_t>(1023, PAD));
        const auto sum = static_cast<uint8_t>(0x33 + 1023 * PAD);
        const uint16_t check = crc ? crc16(0, {last.data() + 3, BLOCK}) : sum;
        EXPECT_EQ(crc ? last[1027] << 8 | last[1028] : last[1027], check);
        EXPECT_EQ(progress.back(), data.size());
        EXPECT_EQ(progress[0], BLOCK);
    }
}

// ---- Whole updates of a bladesim board ---------------------------------------------

namespace {

using systest::Board;
using systest::contains;

constexpr size_t FRAME = 3 + BLOCK + 2;

// What the wire between bladeflash and the board does to the packets,
// counted from the first packet's first byte.
enum class Fault { none, corrupt, drop, cut };
struct Wire {
    Fault fault = Fault::none;
    size_t packet = 2;
    size_t host_bytes = 0;  // sent by bladeflash from the first packet on
};

struct Flashed {
    int status = -1;
    std::string err;
    int board_status = -1;
    std::string board;  // what the board said
};

// bladesim run on a pty; bladeflash on a socket pair whose other end the
// test relays to the pty, doing the wire's fault on the way.
Flashed flash(const Board& board, const std::vector<std::string>& args, Wire& wire)
{
    Flashed run;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return run;
    const std::string slave = ::ptsname(master);
    const pid_t sim = systest::start_bladesim({"run", board.dir.string(), "--speed", "10", "--timeout", "60"}, [&] {
        const int fd = ::open(slave.c_str(), O_RDWR);
        return fd >= 0 && ::dup2(fd, 0) == 0 && ::dup2(fd, 1) == 1 && ::dup2(fd, 2) == 2;
    });
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return run;
    const std::string err_path = board.dir.string() + ".flash";
    std::vector<std::string> words{BLADEFLASH_PATH};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const pid_t tool = ::fork();
    if (tool == 0) {
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(sv[1], 0), ::dup2(sv[1], 1), ::dup2(err, 2), ::execv(argv[0], argv.data()), ::_exit(127);
    }
    ::close(sv[1]);
    bool started = false, cut = false, ended = false;
    int status = 0, board_status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (::waitpid(tool, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline) {
        // A board that has ended closes the line, as a socket would.
        if (!ended && ::waitpid(sim, &board_status, WNOHANG) == sim) ended = true, ::shutdown(sv[0], SHUT_WR);
        pollfd p[2] = {{master, POLLIN, 0}, {sv[0], POLLIN, 0}};
        if (::poll(p, 2, 100) <= 0) continue;
        uint8_t buf[4096];
        if (p[0].revents & POLLIN) {
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0) run.board.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(n));
            if (n > 0 && !cut && ::write(sv[0], buf, static_cast<size_t>(n)) != n) break;
        }
        if (!(p[1].revents & POLLIN)) continue;
        const ssize_t n = ::read(sv[0], buf, sizeof buf);
        std::string to_board;
        for (ssize_t i = 0; i < n; ++i) {
            started |= buf[i] == STX;
            const size_t at = started ? wire.host_bytes++ : 0;
            const bool in_packet = started && at / FRAME == wire.packet;
            cut |= wire.fault == Fault::cut && in_packet;
            if (cut || (wire.fault == Fault::drop && in_packet)) continue;
            const bool flip = wire.fault == Fault::corrupt && in_packet && at % FRAME == 100;
            to_board += static_cast<char>(flip ? buf[i] ^ 0x40 : buf[i]);
        }
        if (!to_board.empty() && ::write(master, to_board.data(), to_board.size()) < 0) break;
    }
    if (::waitpid(tool, &status, WNOHANG) == 0) ::kill(tool, SIGKILL), ::waitpid(tool, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    // A board left at its menu is switched off; one that rebooted has ended.
    if (!ended && ::waitpid(sim, &board_status, WNOHANG) == 0) {
        ::usleep(300000);
        if (::waitpid(sim, &board_status, WNOHANG) == 0) ::kill(-sim, SIGKILL), ::waitpid(sim, &board_status, 0);
    }
    run.board_status = WIFEXITED(board_status) ? WEXITSTATUS(board_status) : -1;
    ::close(sv[0]);
    ::close(master);
    run.err = systest::slurp(err_path);
    return run;
}

std::vector<uint8_t> package_image(uint32_t version)
{
    std::vector<uint8_t> payload(5500);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 31 + i / 7);
    return bladeimg::make_image({bladeboot::IMAGE_APPLICATION, version}, payload);
}

struct FlashCase {
    const char* name;
    std::vector<std::string> options;
    Fault fault;
    int status;
    int slot;           // the slot that must hold the package afterwards, 0 none
    size_t frames;      // packets bladeflash sent, resends included
    const char* said;   // in what bladeflash reported
    bool bad_crc = false;
};

}  // namespace

TEST(Bladeflash, UpdatesTheBoardThroughItsConsole)
{
    const FlashCase cases[] = {
        {"slot1", {"--slot", "1", "--verify"}, Fault::none, 0, 1, 6, "versions match"},
        {"slot2", {"--slot", "2", "--reboot", "--json"}, Fault::none, 0, 2, 6, "{\"result\":\"installed\",\"exit\":0,"},
        {"corrupted", {"--slot", "1"}, Fault::corrupt, 0, 1, 7, "installed into slot 1"},
        {"dropped", {"--slot", "2"}, Fault::drop, 0, 2, 7, "installed into slot 2"},
        {"cut", {"--slot", "1", "--timeout", "3"}, Fault::cut, 3, 0, 3, "stopped answering"},
        {"bad package", {"--slot", "1"}, Fault::none, 1, 0, 0, "crc mismatch", true},
    };
    for (const FlashCase& c : cases) {
        Board board(std::string("Bladeflash.") + c.name);
        board.setenv({"diagnostics=rescue"});
        auto package = package_image(0x02000007);
        package[300] ^= c.bad_crc ? 1 : 0;
        board.write("package.img", package);
        const auto slot1 = board.read("user/images/image1"), slot2 = board.read("user/images/image2");
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"-", board.path("package.img").string()});
        Wire wire{c.fault};
        const Flashed run = flash(board, args, wire);

        EXPECT_EQ(run.status, c.status) << c.name << "\n" << run.err << run.board;
        EXPECT_TRUE(contains(run.err, c.said)) << c.name << "\n" << run.err;
        EXPECT_EQ(wire.host_bytes / FRAME, c.frames) << c.name;
        EXPECT_EQ(board.read("user/images/image1"), c.slot == 1 ? package : slot1) << c.name;
        EXPECT_EQ(board.read("user/images/image2"), c.slot == 2 ? package : slot2) << c.name;
        EXPECT_TRUE(!c.slot || board.read("eeprom.bin").at(256) == c.slot) << c.name;
        EXPECT_TRUE(!contains(c.name, "slot2") || run.board_status == 3) << "rebooted";
        if (c.fault == Fault::cut) {
            EXPECT_EQ(board.boot("e").status, 0) << "the slots still boot";
        }
    }
}
