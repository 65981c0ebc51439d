// The port bladeflash talks through: a serial device (115200 8N1 raw), a
// unix socket, or standard input and output.
#pragma once

#include <termios.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bladeflash/xmodem_send.hpp"

namespace bladeflash {

class FdLine : public Line {
public:
    FdLine(int in, int out, bool own, std::optional<termios> saved = std::nullopt);
    ~FdLine() override;
    FdLine(const FdLine&) = delete;
    FdLine& operator=(const FdLine&) = delete;

    int get(int timeout_ms) override;
    bool put(std::span<const uint8_t> bytes) override;
    bool put(const std::string& text) { return put({reinterpret_cast<const uint8_t*>(text.data()), text.size()}); }

private:
    int in_, out_;
    bool own_;
    std::optional<termios> saved_;
    std::vector<uint8_t> buf_;
    size_t head_ = 0;
};

// PORT as the command line names it; null with *error set when it cannot be used.
std::unique_ptr<FdLine> open_port(const std::string& port, std::string* error);

}  // namespace bladeflash
