// bladeflash: the sender against a scripted receiver; whole updates of a
// bladesim board through a pty, with faults on the wire and keys typed at
// the board's console around them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>

#include "bladeflash/xmodem_send.hpp"
#include "bladeimg/image_builder.hpp"
#include "board_run.hpp"
#include "launcher/image.hpp"

using namespace bladeflash;
using namespace std::chrono_literals;

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
    for (const bool crc : {true, false}) {
        ScriptedPeer peer(crc ? "C" : nak);
        std::vector<uint64_t> progress;
        const SendOptions o{.on_idle = {}, .on_progress = [&](uint64_t n) { progress.push_back(n); }};
        ASSERT_EQ(xmodem_send(peer, Bytes(257 * BLOCK + 1, 0x33), o), SendResult::done);
        ASSERT_EQ(peer.frames.size(), 259u);
        EXPECT_EQ(peer.frames[255][1], 0u) << "block 256 wraps to 0";
        std::vector<uint8_t> last{STX, 2, 0xFD, 0x33};
        last.resize(3 + BLOCK, PAD);
        const uint16_t check = crc ? crc16(0, {last.data() + 3, BLOCK}) : static_cast<uint8_t>(0x33 + 1023 * PAD);
        if (crc) last.push_back(static_cast<uint8_t>(check >> 8));
        last.push_back(static_cast<uint8_t>(check));
        EXPECT_EQ(peer.frames[257], last);
        EXPECT_TRUE(progress.front() == BLOCK && progress.back() == 257 * BLOCK + 1) << progress.size();
    }
}

// ---- Whole updates of a bladesim board ---------------------------------------------

constexpr size_t FRAME = 3 + BLOCK + 2;

// What happens to the third packet on the wire, or to the package itself.
enum class Fault { none, corrupt, drop, cut, bad_package };

// Keys typed when a text shows. A repeated step types again every half
// second until the next one's text shows: a Ctrl-C that lands before the
// launcher reads only sets its flag.
struct Step {
    std::string wait_for, keys;
    bool repeat = false;
};

struct FlashCase {
    const char *name, *said;  // said: in what bladeflash reported
    std::vector<std::string> options;
    Fault fault;
    // bladeflash's exit status, the slot that holds the package afterwards (0 none), packets sent
    int status, slot, frames;
    std::vector<Step> before{}, after{};  // typed at the board's console around bladeflash's run
};

// bladesim runs on a pty, as at the board's serial port, and the steps are
// typed there first. Then bladeflash runs on a socket pair whose other end
// the test relays to the pty, doing the fault on the way. Returns the exit
// statuses of bladeflash and the board, the packets sent (resends included),
// what bladeflash reported and what the board said.
std::tuple<int, int, int, std::string, std::string> flash(const Board& board, const FlashCase& c)
{
    using clock = std::chrono::steady_clock;
    const auto has_ended = [](pid_t pid) {  // without reaping it
        siginfo_t info{};
        return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0;
    };
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"-", board.path("package.img").string()});
    const std::string err_path = board.dir.string() + ".flash";
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    int sv[2];
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::socketpair(AF_UNIX, SOCK_STREAM, 0, sv))
        return {-1, -1, 0, "no pty", ""};
    const pid_t sim = start(BLADESIM_PATH, {"run", board.dir.string(), "--speed", "10", "--timeout", "60"}, [master] {
        const int fd = ::open(::ptsname(master), O_RDWR);  // becomes the controlling terminal
        return fd >= 0 && ::dup2(fd, 0) == 0 && ::dup2(fd, 1) == 1 && ::dup2(fd, 2) == 2;
    });
    std::vector<Step> keys = c.before;
    pid_t tool = -1;
    bool cut = false, ended = false, done = false;
    size_t sent = 0, seen = 0, step = 0;
    std::string said;
    auto typed_at = clock::now();
    const auto deadline = typed_at + std::chrono::seconds(120);
    while (clock::now() < deadline) {
        if (tool < 0 && step == keys.size()) {
            tool = start(BLADEFLASH_PATH, args, [&] {
                const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                return ::dup2(sv[1], 0) == 0 && ::dup2(sv[1], 1) == 1 && ::dup2(err, 2) == 2;
            });
            ::close(sv[1]);
        }
        // A board that has ended closes the line, as a socket would.
        if (!ended && has_ended(sim)) ended = true, ::shutdown(sv[0], SHUT_WR);
        if (tool > 0 && !done && has_ended(tool)) {
            done = true, seen = said.size();
            keys.insert(keys.end(), c.after.begin(), c.after.end());
        }
        if (done && (ended || step == keys.size())) break;
        const size_t at = step < keys.size() ? said.find(keys[step].wait_for, seen) : std::string::npos;
        if (at != std::string::npos) seen = at + keys[step++].wait_for.size();
        if (at != std::string::npos || (step > 0 && keys[step - 1].repeat && clock::now() - typed_at > 500ms)) {
            const std::string& typed = keys[step - 1].keys;
            if (::write(master, typed.data(), typed.size()) != static_cast<ssize_t>(typed.size())) break;
            typed_at = clock::now();
        }
        pollfd p[2] = {{master, POLLIN, 0}, {sv[0], POLLIN, 0}};
        if (::poll(p, 2, 100) <= 0) continue;
        uint8_t buf[4096];
        const ssize_t shown = p[0].revents & POLLIN ? ::read(master, buf, sizeof buf) : 0;
        if (shown > 0) said.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(shown));
        if (shown > 0 && tool > 0 && !cut && ::write(sv[0], buf, static_cast<size_t>(shown)) != shown) break;
        const ssize_t n = p[1].revents & POLLIN ? ::read(sv[0], buf, sizeof buf) : 0;
        std::string to_board;
        for (ssize_t i = 0; i < n; ++i) {
            // Bytes count from the first packet's first byte.
            const size_t at_byte = sent || buf[i] == STX ? sent++ : SIZE_MAX;
            const bool hit = at_byte / FRAME == 2, flip = c.fault == Fault::corrupt && hit && at_byte % FRAME == 100;
            cut |= c.fault == Fault::cut && hit;
            if (cut || (c.fault == Fault::drop && hit)) continue;
            to_board += static_cast<char>(flip ? buf[i] ^ 0x40 : buf[i]);
        }
        if (!to_board.empty() && ::write(master, to_board.data(), to_board.size()) < 0) break;
    }
    const int status = tool > 0 ? finish(tool) : -1;
    // A board left at its menu is switched off; one that reboots ends by itself.
    if (!ended) ::usleep(300000);
    const int board_status = finish(sim);
    ::close(sv[0]), ::close(master);
    return {status, board_status, static_cast<int>(sent / FRAME), slurp(err_path), said};
}

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
    const auto [status, board_status, frames, err, said] = flash(board, c);

    EXPECT_EQ(status, c.status) << err << said;
    EXPECT_TRUE(contains(err, c.said)) << err;
    // Ctrl-C and Ctrl-\ are signals, never keys (bladeflash's Enter is one).
    for (const char* key : {"\x03", "\x1c"}) EXPECT_FALSE(contains(said, "unknown option \"" + std::string(key)));
    EXPECT_EQ(frames, c.frames);
    EXPECT_EQ(board.read("user/images/image1"), c.slot == 1 ? package : slot1);
    EXPECT_EQ(board.read("user/images/image2"), c.slot == 2 ? package : slot2);
    EXPECT_TRUE(!c.slot || board.read("eeprom.bin").at(256) == c.slot);
    EXPECT_EQ(contains(said, "Extracting images"), c.slot != 0) << "only what arrived whole is unpacked";
    EXPECT_TRUE(!contains(c.name, "reboot") || board_status == 3) << "rebooted";
    EXPECT_TRUE(c.fault != Fault::cut || board.boot("e").status == 0) << "the slots still boot";
}

// clang-format off
const FlashCase flash_cases[] = {
    {"slot1_verify", "versions match", {"--slot", "1", "--verify"}, Fault::none, 0, 1, 6},
    // Ctrl-\ changes nothing; the key Ctrl-C interrupts is dropped and the option asked again.
    {"ctrl_keys_slot2_reboot_json", "{\"result\":\"installed\"", {"--slot", "2", "--reboot", "--json"}, Fault::none,
     0, 2, 6, {{"Option? : ", "\x1c"}, {"", "\x03", true}, {"Option? : ", ""}}},
    {"corrupted", "installed into slot 1", {"--slot", "1"}, Fault::corrupt, 0, 1, 7},
    {"dropped", "installed into slot 2", {"--slot", "2"}, Fault::drop, 0, 2, 7},
    // Once the board's receiver gives up, its Enter prompt leads back to the menu.
    {"cut", "stopped answering", {"--slot", "1", "--timeout", "3"}, Fault::cut, 3, 0, 3, {},
     {{"Waiting for the <ENTER> key to be hit...", "\r"}, {"Option? : ", ""}}},
    {"bad_package", "crc mismatch", {"--slot", "1"}, Fault::bad_package, 1, 0, 0},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Cases, Bladeflash, testing::ValuesIn(flash_cases),
                         [](const testing::TestParamInfo<FlashCase>& i) { return i.param.name; });

}  // namespace
