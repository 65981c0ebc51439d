// The receiver against a real sender: lrzsz's `sx -k` on a pseudo-terminal,
// either straight or through a relay that spoils the line on purpose. Time
// is real here (the fake passes real descriptors and sleeps through).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_platform.hpp"
#include "launcher/xmodem.hpp"

using namespace bladeboot;

extern char** environ;

namespace {

using Bytes = std::vector<uint8_t>;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

constexpr uint8_t SOH = 0x01, STX = 0x02, ACK = 0x06, NAK = 0x15, CAN = 0x18, PAD = 0x1A;
const char* const SENT = "/tmp/sent";
const char* const RECEIVED = "/tmp/received";
const char* const SENDER_LOG = "/tmp/sx.log";
constexpr uint64_t WATCHDOG_US = 90'000'000;

Bytes file_bytes(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

Bytes make_file(size_t size)
{
    Bytes data(size);
    uint32_t x = 0x12345678u + static_cast<uint32_t>(size);
    for (auto& byte : data) {
        x = x * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(x >> 16);
    }
    std::ofstream(SENT, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return data;
}

std::string sender_log()
{
    const Bytes log = file_bytes(SENDER_LOG);
    return std::string(log.begin(), log.end());
}

// XMODEM sends whole packets: what arrives is the file, then filler up to a
// packet boundary.
void expect_padded_copy(const Bytes& received, const Bytes& original)
{
    ASSERT_GE(received.size(), original.size());
    EXPECT_TRUE(std::equal(original.begin(), original.end(), received.begin())) << "data differs";
    EXPECT_EQ(received.size() % 128, 0u);
    EXPECT_LT(received.size() - original.size(), 1024u);
    for (size_t i = original.size(); i < received.size(); ++i) ASSERT_EQ(received[i], PAD) << "filler at " << i;
}

// What the relay does to one sender packet.
enum class Fault { none, drop_byte, flip_data_bit, flip_crc_bit, lose_ack, renumber, go_silent };

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

class LrzszTest : public fake::BoardTest {
protected:
    void SetUp() override
    {
        fake::BoardTest::SetUp();
        if (::access("/usr/bin/sx", X_OK) != 0) GTEST_SKIP() << "lrzsz's sx is not installed (apt-get install lrzsz)";
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            GTEST_SKIP() << "no pseudo-terminals here: " << std::strerror(errno);
        slave_ = ::open(ptsname(master_), O_RDWR | O_NOCTTY);
        if (slave_ < 0) GTEST_SKIP() << "cannot open the pty's slave: " << std::strerror(errno);
        termios raw{};
        ::tcgetattr(slave_, &raw);
        cfmakeraw(&raw);
        ::tcsetattr(slave_, TCSANOW, &raw);
        set_nonblocking(master_);

        b().real_time = true;
        // The receiver invites forever; a sender that died must not hang the run.
        b().on_time = [](uint64_t now) {
            if (now > WATCHDOG_US) throw std::runtime_error("transfer did not end");
        };
    }

    void TearDown() override
    {
        if (relay_.joinable()) {
            stop_ = true;
            relay_.join();
        }
        if (pid_ > 0) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == 0) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
            }
        }
        for (int fd : {master_, slave_, to_receiver_[0], to_receiver_[1], from_receiver_[0], from_receiver_[1]})
            if (fd >= 0) ::close(fd);
        fake::BoardTest::TearDown();
    }

    // The sender sits on the slave side, as a terminal program would, unless
    // the receiver takes that side.
    void start_sender(bool on_master = false)
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const int line = on_master ? master_ : slave_;
        posix_spawn_file_actions_adddup2(&actions, line, 0);
        posix_spawn_file_actions_adddup2(&actions, line, 1);
        posix_spawn_file_actions_addopen(&actions, 2, SENDER_LOG, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addclose(&actions, on_master ? slave_ : master_);
        char arg0[] = "sx", k[] = "-k", bin[] = "-b", path[] = "/tmp/sent";
        char* argv[] = {arg0, k, bin, path, nullptr};
        const int err = posix_spawn(&pid_, "/usr/bin/sx", &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ASSERT_EQ(err, 0) << std::strerror(err);
    }

    // Returns the sender's exit status (or -1 when it did not end by itself).
    int sender_status()
    {
        int status = 0;
        for (int i = 0; i < 5000; ++i) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = 0;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            ::usleep(1000);
        }
        return -1;
    }

    int receive_direct()
    {
        start_sender();
        CaptureStderr();
        const int result = xmodem_receive(master_, master_, RECEIVED, &completed_);
        stderr_ = GetCapturedStderr();
        return result;
    }

    // --- the relay -------------------------------------------------------
    // Sender packets pass through `spoil` (by order of arrival, resends
    // included); everything the receiver says is logged on its way back.
    int receive_through_relay(Fault fault, int at_packet)
    {
        EXPECT_EQ(::pipe(to_receiver_), 0);
        EXPECT_EQ(::pipe(from_receiver_), 0);
        set_nonblocking(to_receiver_[0]);
        start_sender();
        relay_ = std::thread([this, fault, at_packet] { relay(fault, at_packet); });
        CaptureStderr();
        const int result = xmodem_receive(to_receiver_[0], from_receiver_[1], RECEIVED, &completed_);
        stderr_ = GetCapturedStderr();
        // Let the last answers reach the sender before the relay stops.
        ::usleep(200'000);
        stop_ = true;
        relay_.join();
        return result;
    }

    void relay(Fault fault, int at_packet)
    {
        Bytes pending;  // sender bytes of a packet not yet complete
        Bytes held;     // a packet to deliver again in place of the receiver's ACK
        int arrivals = 0;
        bool silent = false;
        auto to_receiver = [this](const Bytes& bytes) {
            if (!bytes.empty()) (void)!::write(to_receiver_[1], bytes.data(), bytes.size());
        };
        while (!stop_) {
            pollfd fds[2] = {{master_, POLLIN, 0}, {from_receiver_[0], POLLIN, 0}};
            if (::poll(fds, 2, 20) <= 0) continue;
            uint8_t chunk[2048];
            if (fds[0].revents & POLLIN) {
                const ssize_t n = ::read(master_, chunk, sizeof chunk);
                for (ssize_t i = 0; i < n; ++i) {
                    if (silent) continue;
                    if (pending.empty() && chunk[i] != SOH && chunk[i] != STX) {
                        to_receiver({chunk[i]});
                        continue;
                    }
                    pending.push_back(chunk[i]);
                    const size_t size = (pending[0] == SOH ? 128u : 1024u) + 5u;
                    if (pending.size() < size) continue;
                    ++arrivals;
                    if (arrivals == at_packet) {
                        switch (fault) {
                            case Fault::none:
                                break;
                            case Fault::drop_byte:
                                pending.erase(pending.begin() + 10);
                                break;
                            case Fault::flip_data_bit:
                                pending[3 + 77] ^= 0x04;
                                break;
                            case Fault::flip_crc_bit:
                                pending[size - 1] ^= 0x80;
                                break;
                            case Fault::lose_ack:
                                held = pending;
                                break;
                            case Fault::renumber:
                                pending[1] = static_cast<uint8_t>(pending[1] + 1);
                                pending[2] = static_cast<uint8_t>(255 - pending[1]);
                                break;
                            case Fault::go_silent:
                                silent = true;
                                pending.clear();
                                break;
                        }
                    }
                    to_receiver(pending);
                    pending.clear();
                }
            }
            if (fds[1].revents & POLLIN) {
                const ssize_t n = ::read(from_receiver_[0], chunk, sizeof chunk);
                for (ssize_t i = 0; i < n; ++i) {
                    answers_.push_back(chunk[i]);
                    if (chunk[i] == ACK && !held.empty()) {
                        // The sender never hears this ACK, as if the line lost
                        // it, and so it sends the packet once more.
                        to_receiver(held);
                        held.clear();
                        continue;
                    }
                    (void)!::write(master_, &chunk[i], 1);
                }
            }
        }
    }

    size_t answered(uint8_t byte) const
    {
        return static_cast<size_t>(std::count(answers_.begin(), answers_.end(), byte));
    }

    int master_ = -1;
    int slave_ = -1;
    int to_receiver_[2] = {-1, -1};
    int from_receiver_[2] = {-1, -1};
    pid_t pid_ = 0;
    std::thread relay_;
    std::atomic<bool> stop_{false};
    Bytes answers_;  // written by the relay thread; read after it joined
    bool completed_ = false;
    std::string stderr_;
};

class LrzszSizeTest : public LrzszTest, public testing::WithParamInterface<size_t> {};

TEST_P(LrzszSizeTest, FileArrivesIntact)
{
    const Bytes original = make_file(GetParam());
    const int result = receive_direct();
    EXPECT_TRUE(completed_) << sender_log();
    EXPECT_EQ(sender_status(), 0) << sender_log();
    const Bytes received = file_bytes(RECEIVED);
    EXPECT_EQ(result, static_cast<int>(received.size()));
    expect_padded_copy(received, original);
    EXPECT_NE(stderr_.find("All done\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Sizes, LrzszSizeTest, testing::Values(0u, 1u, 128u, 1000u, 1024u, 200000u),
                         [](const auto& p) { return std::to_string(p.param) + "Bytes"; });

// A spoiled packet costs one NAK; the sender's resend completes the file.
class LrzszResendTest : public LrzszTest, public testing::WithParamInterface<std::pair<const char*, Fault>> {};

TEST_P(LrzszResendTest, SpoiledPacketIsRefusedAndTheResendAccepted)
{
    const Bytes original = make_file(5 * 1024 + 300);
    EXPECT_GT(receive_through_relay(GetParam().second, 3), 0);
    EXPECT_TRUE(completed_) << sender_log();
    EXPECT_EQ(sender_status(), 0) << sender_log();
    expect_padded_copy(file_bytes(RECEIVED), original);
    EXPECT_EQ(answered(NAK), 2u) << "one for the spoiled packet, one for the first EOT";
    EXPECT_EQ(answered(CAN), 0u);
}

INSTANTIATE_TEST_SUITE_P(Faults, LrzszResendTest,
                         testing::Values(std::pair{"DroppedByte", Fault::drop_byte},
                                         std::pair{"FlippedDataBit", Fault::flip_data_bit},
                                         std::pair{"FlippedCrcBit", Fault::flip_crc_bit}),
                         [](const auto& p) { return std::string(p.param.first); });

TEST_F(LrzszTest, LostAckMakesTheSenderRepeatAndTheRepeatIsAcknowledgedNotWrittenAgain)
{
    const Bytes original = make_file(4 * 1024);
    EXPECT_EQ(receive_through_relay(Fault::lose_ack, 2), 4 * 1024);
    EXPECT_TRUE(completed_) << sender_log();
    EXPECT_EQ(sender_status(), 0) << sender_log();
    EXPECT_EQ(file_bytes(RECEIVED), original);
    EXPECT_EQ(answered(ACK), 4u + 1u + 1u) << "each packet, the repeat, the end";
    EXPECT_EQ(answered(NAK), 1u);
}

TEST_F(LrzszTest, OutOfSequenceBlockCancelsTheSender)
{
    const Bytes original = make_file(5 * 1024);
    EXPECT_EQ(receive_through_relay(Fault::renumber, 3), 0);
    EXPECT_FALSE(completed_);
    EXPECT_NE(sender_status(), 0) << "the sender must see the cancel";
    EXPECT_EQ(answered(CAN), 5u);
    EXPECT_EQ(file_bytes(RECEIVED), Bytes(original.begin(), original.begin() + 2 * 1024));
}

TEST_F(LrzszTest, SenderGoingSilentCancelsAfterThreeFaults)
{
    const Bytes original = make_file(5 * 1024);
    EXPECT_EQ(receive_through_relay(Fault::go_silent, 3), 0);
    EXPECT_FALSE(completed_);
    EXPECT_EQ(answered(NAK), 2u);
    EXPECT_EQ(answered(CAN), 5u);
    EXPECT_EQ(file_bytes(RECEIVED), Bytes(original.begin(), original.begin() + 2 * 1024));
}

// What bladeboot-rx does: the receiver on its own standard input and output,
// which on the board are the console's terminal.
TEST_F(LrzszTest, StdioReceiverWorksOnItsTerminalAndLeavesItBlocking)
{
    const Bytes original = make_file(3000);
    // The sender shares the master's description; lrzsz wants it blocking.
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) & ~O_NONBLOCK);
    start_sender(true);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(slave_, 0);
        ::dup2(slave_, 1);
        // An exception here would run the rest of the tests in this child.
        b().on_time = [](uint64_t now) {
            if (now > WATCHDOG_US) ::_exit(3);
        };
        bool completed = false;
        xmodem_receive_stdio(RECEIVED, &completed);
        const bool leaked = (::fcntl(0, F_GETFL) & O_NONBLOCK) != 0;
        ::_exit(!completed ? 1 : leaked ? 2 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << sender_log();
    EXPECT_NE(WEXITSTATUS(status), 1) << "transfer did not complete: " << sender_log();
    EXPECT_NE(WEXITSTATUS(status), 2) << "O_NONBLOCK leaked into the caller's terminal";
    EXPECT_NE(WEXITSTATUS(status), 3) << "transfer did not end: " << sender_log();
    EXPECT_EQ(sender_status(), 0) << sender_log();
    expect_padded_copy(file_bytes(RECEIVED), original);
}

}  // namespace
