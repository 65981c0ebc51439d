// In-memory board for the unit tests: records what the launcher asked for
// and behaves like the hardware, with failures on demand.
//
// Console output is plain stdio (capture it with testing::internal::
// CaptureStdout). Files under /tmp, /user and /mnt/usb are real files of the
// test sandbox (tests/sandbox-run), never the host's.
#pragma once

#include <gtest/gtest.h>
#include <termios.h>

#include <deque>
#include <functional>
#include <numeric>

#include "platform/board_model.hpp"

namespace fake {

// Thrown by plat::exit and by a successful plat::exec, so that a launcher
// road that never returns ends the test's call instead of the test process.
struct Exited {};
struct Execed {};

// Console key that makes the pending read fail with EINTR after SIGINT's
// handler has run, as Ctrl-C does on the board.
constexpr int INTERRUPT = -1;

// A NOR MTD partition, by the board model's rules.
struct NorPartition {
    std::vector<uint8_t> bytes;
    uint32_t erase_size = 0x10000;
    int open_flags = -1;  // flags of the last open
    bool getinfo_fails = false;
    // 1-based index of the operation of that kind that fails (EIO); 0 = none.
    int fail_erase_at = 0, fail_read_at = 0, fail_write_at = 0;
    int erases = 0, reads = 0, writes = 0;                            // calls so far
    std::vector<std::pair<uint32_t, uint32_t>> erase_log, write_log;  // start or offset, and length
};

// The EEPROM's bytes, in memory; the rules are the board model's.
struct Eeprom : boardmodel::I2cDevices::Cells {
    std::vector<uint8_t> mem = std::vector<uint8_t>(boardmodel::EEPROM_SIZE, 0xFF);

    bool present() override { return true; }
    uint8_t get(uint16_t at) override { return mem[at]; }
    bool put(uint16_t at, uint8_t value) override { return mem[at] = value, true; }
};

struct Console {
    std::deque<int> keys;           // bytes 0..255, or INTERRUPT
    std::function<void()> on_read;  // before each read, as the operator takes their time
    bool at_eof = true;             // when keys run out: end of input (poll readable, read 0)
                                    // or silence (poll times out)
    struct termios attr {};
    std::vector<struct termios> attr_history;  // every tcsetattr on descriptor 0

    void type(const std::string& text)
    {
        for (unsigned char c : text) keys.push_back(c);  // a byte, never INTERRUPT
    }
};

// /dev/ttyS0 as the serial download sees it.
struct Serial {
    bool exists = true;
    std::deque<uint8_t> rx;              // bytes waiting for the launcher
    std::vector<uint8_t> tx;             // bytes the launcher sent
    std::function<void(uint8_t)> on_tx;  // a scripted peer
    struct termios attr {};
    std::vector<std::string> calls;  // "tcdrain", "tcflush 2", "tcsetattr 1", "tcflow 1", "close"
};

struct Board {
    // Processes and time.
    std::vector<std::string> commands;                  // plat::system, in order
    std::function<int(const std::string&)> on_command;  // effect and status; default 0
    int system_result = 0;                              // when on_command is not set
    std::vector<uint64_t> sleeps_us;                    // every sleep and usleep
    uint64_t now_us = 0;
    std::function<void(uint64_t now_us)> on_time;  // called after time advances
    bool real_time = false;                        // sleeps really sleep (real peers)

    std::map<std::string, NorPartition> mtd;  // by device path
    Eeprom eeprom;
    boardmodel::I2cDevices expander{eeprom};  // and the EEPROM behind it

    Console console;
    Serial serial;

    uint64_t slept_us() const { return std::accumulate(sleeps_us.begin(), sleeps_us.end(), uint64_t{0}); }
    NorPartition& part(const std::string& path) { return mtd.at(path); }
};

// The board of the running test.
Board& board();

// A fresh board: six partitions at bladesim's sizes and erased, EEPROM all
// 0xFF, expander write-protecting, empty console at end of input; and the
// launcher's process-wide state at its start values.
void reset();
// As reset(), with no partition longer than cap bytes (a multiple of the
// erase size): a cheap fresh board for many short runs, such as fuzzing.
void reset_with_partition_cap(uint32_t cap);

// Writes bytes at offset of a partition, bypassing the NOR rules (test set-up).
void load_partition(const std::string& path, uint32_t offset, const std::vector<uint8_t>& data);

// Whether the test runs inside tests/sandbox-run (private /tmp, /user, /mnt/usb).
bool in_sandbox();

// Base fixture: resets the board and the launcher's state, and refuses to
// run outside the sandbox.
class BoardTest : public testing::Test {
protected:
    void SetUp() override;
    Board& b() { return board(); }
};

// Empties /tmp, /user and /mnt/usb of the sandbox (BoardTest does it first).
void clean_sandbox_dirs();

}  // namespace fake
