// Serial port handover: settings switched and restored, the operator's Enter
// awaited with reminders on the fake clock, and a real pseudo-terminal for
// what the raw line must deliver.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "fakes/fake_platform.hpp"
#include "launcher/xmodem.hpp"
#include "platform/platform.hpp"

using namespace bladeboot;

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

const std::string INIT_TEXT =
    "       Change the baud rate to 115200 bps and hit the <ENTER> key\n"
    "       before initiating the download.\n";
const std::string INIT_REMINDER =
    "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r\n";
const std::string RESET_TEXT = "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n";
const std::string RESET_REMINDER = "\r\n    ... Waiting for the <ENTER> key to be hit...\r\n";

// A console line as a terminal might have it: cooked, 7E2 at 9600 bps.
termios console_settings()
{
    termios t{};
    t.c_iflag = ICRNL | IXON | INPCK | ISTRIP;
    t.c_oflag = OPOST | ONLCR;
    t.c_cflag = CS7 | PARENB | CSTOPB | CREAD | CLOCAL | HUPCL | CRTSCTS;
    t.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN | ECHOK;
    t.c_cc[VMIN] = 5;
    t.c_cc[VTIME] = 7;
    t.c_cc[VINTR] = 3;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    return t;
}

size_t count_of(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

const std::vector<std::string> HANDOVER_CALLS = {
    "tcdrain", "tcflush " + std::to_string(TCIOFLUSH), "tcsetattr " + std::to_string(TCSADRAIN),
    "tcflow " + std::to_string(TCOON)};

class SerialTest : public fake::BoardTest {};

TEST_F(SerialTest, InitSwitchesToRaw8N1At115200AndResetPutsBackWhatWasThere)
{
    const termios before = console_settings();
    b().serial.attr = before;
    b().serial.rx = {13};

    CaptureStdout();
    const int fd = init_serial();
    EXPECT_EQ(GetCapturedStdout(), INIT_TEXT);

    ASSERT_GE(fd, 0);
    EXPECT_EQ(b().serial.calls, HANDOVER_CALLS);
    EXPECT_EQ(std::memcmp(&oldtty, &before, sizeof before), 0) << "the settings to restore were not saved";

    const termios& now = b().serial.attr;
    EXPECT_EQ(cfgetispeed(&now), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&now), static_cast<speed_t>(B115200));
    EXPECT_EQ(now.c_iflag, static_cast<tcflag_t>(IGNBRK));
    EXPECT_EQ(now.c_oflag, 0u);
    EXPECT_EQ(now.c_cflag & ~static_cast<tcflag_t>(CBAUD), static_cast<tcflag_t>(CS8 | CREAD | CLOCAL | HUPCL | CRTSCTS));
    EXPECT_EQ(now.c_lflag, static_cast<tcflag_t>(IEXTEN | ECHOK));
    EXPECT_EQ(std::memcmp(now.c_cc, before.c_cc, sizeof before.c_cc), 0);
    EXPECT_EQ(now.c_line, before.c_line);

    b().serial.calls.clear();
    b().serial.rx = {10};
    CaptureStdout();
    reset_serial(fd);
    EXPECT_EQ(GetCapturedStdout(), RESET_TEXT);
    EXPECT_EQ(b().serial.calls, HANDOVER_CALLS);
    EXPECT_EQ(std::memcmp(&b().serial.attr, &before, sizeof before), 0);
    EXPECT_TRUE(b().serial.open_) << "closing is the caller's business";
}

TEST_F(SerialTest, InitWithoutThePortFailsAtOnceAndKeepsTheSavedSettings)
{
    b().serial.exists = false;
    oldtty = console_settings();
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(init_serial(), -1);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(GetCapturedStderr(), std::string("Can't open serial port!: ") + std::strerror(ENOENT) + "\n");
    const termios expected = console_settings();
    EXPECT_EQ(std::memcmp(&oldtty, &expected, sizeof expected), 0);
    EXPECT_TRUE(b().serial.calls.empty());
    EXPECT_TRUE(b().sleeps_us.empty()) << "waited for an Enter that cannot come";
}

// Each poll takes one byte; anything but the awaited key costs a second.
TEST_F(SerialTest, OnlyTheAwaitedKeyEndsTheWait)
{
    b().serial.rx = {'x', 10, 0x8D, 13, 'y'};  // 10 ends only the way back; 0x8D is 13 with a parity bit
    CaptureStdout();
    const int fd = init_serial();
    EXPECT_EQ(b().slept_us(), 3'000'000u);
    EXPECT_EQ(b().serial.rx, std::deque<uint8_t>{'y'}) << "the wait must not read past the Enter";

    b().sleeps_us.clear();
    b().serial.rx = {13, 'z', 10};
    reset_serial(fd);
    GetCapturedStdout();
    EXPECT_EQ(b().slept_us(), 2'000'000u);
}

struct ReminderCase {
    uint64_t enter_after_s;
    size_t reminders;
};

class ReminderTest : public SerialTest, public testing::WithParamInterface<ReminderCase> {
protected:
    // The operator's key arrives once the fake clock reaches the given time.
    void key_at(uint8_t key, uint64_t at_s)
    {
        b().on_time = [this, key, at_s](uint64_t now_us) {
            if (now_us == at_s * 1'000'000u) b().serial.rx.push_back(key);
        };
    }
};

TEST_P(ReminderTest, FirstReminderAfterElevenEmptyPollsThenEveryEleven)
{
    const ReminderCase c = GetParam();
    key_at(13, c.enter_after_s);
    CaptureStdout();
    const int fd = init_serial();
    std::string out = GetCapturedStdout();
    EXPECT_EQ(count_of(out, INIT_REMINDER), c.reminders) << out;
    EXPECT_EQ(b().slept_us(), c.enter_after_s * 1'000'000u);
    if (c.reminders > 0) {
        EXPECT_EQ(out.substr(INIT_TEXT.size(), INIT_REMINDER.size()), INIT_REMINDER);
    }

    b().now_us = 0;
    b().sleeps_us.clear();
    key_at(10, c.enter_after_s);
    CaptureStdout();
    reset_serial(fd);
    out = GetCapturedStdout();
    EXPECT_EQ(count_of(out, RESET_REMINDER), c.reminders) << out;
    EXPECT_EQ(count_of(out, INIT_REMINDER), 0u);
}

INSTANTIATE_TEST_SUITE_P(Clock, ReminderTest,
                         testing::Values(ReminderCase{1, 0}, ReminderCase{10, 0}, ReminderCase{11, 1},
                                         ReminderCase{21, 1}, ReminderCase{22, 2}, ReminderCase{34, 3}),
                         [](const auto& p) { return "EnterAt" + std::to_string(p.param.enter_after_s) + "s"; });

// The fake cannot show what the settings do to the bytes; a pseudo-terminal
// applies them for real.
class SerialPtyTest : public SerialTest {
protected:
    void SetUp() override
    {
        SerialTest::SetUp();
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            GTEST_SKIP() << "no pseudo-terminals here: " << std::strerror(errno);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        b().serial.real_path = ptsname(master_);
        b().real_time = true;
    }
    void TearDown() override
    {
        if (master_ >= 0) ::close(master_);
    }
    // The key is typed after the handover's flush, as an operator would.
    void type_after_first_poll(char key)
    {
        b().on_time = [this, key](uint64_t) {
            if (!typed_) typed_ = ::write(master_, &key, 1) == 1;
        };
        typed_ = false;
    }
    int master_ = -1;
    bool typed_ = false;
};

TEST_F(SerialPtyTest, DownloadSettingsPassEveryByteUnalteredAndReadsDoNotBlock)
{
    type_after_first_poll('\r');
    CaptureStdout();
    const int fd = init_serial();
    GetCapturedStdout();
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(::fcntl(fd, F_GETFL) & O_NONBLOCK);
    b().on_time = nullptr;

    uint8_t byte = 0;
    EXPECT_EQ(plat::read(fd, &byte, 1), -1) << "an idle line must not block the reader";

    std::vector<uint8_t> all(256);
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i);
    for (const auto& [from, to] : {std::pair{master_, fd}, std::pair{fd, master_}}) {
        ASSERT_EQ(::write(from, all.data(), all.size()), 256);
        std::vector<uint8_t> got;
        for (int tries = 0; got.size() < all.size() && tries < 2000; ++tries) {
            uint8_t chunk[512];
            const ssize_t n = ::read(to, chunk, sizeof chunk);
            if (n > 0) got.insert(got.end(), chunk, chunk + n);
            else ::usleep(1000);
        }
        EXPECT_EQ(got, all) << (from == master_ ? "line to receiver" : "receiver to line");
    }

    type_after_first_poll('\n');
    CaptureStdout();
    reset_serial(fd);
    GetCapturedStdout();
    termios restored{};
    ASSERT_EQ(::tcgetattr(fd, &restored), 0);
    EXPECT_EQ(restored.c_lflag & ICANON, oldtty.c_lflag & ICANON);
    EXPECT_EQ(::fcntl(fd, F_GETFD), 0) << "reset_serial must leave the descriptor open";
    ::close(fd);
}

}  // namespace
