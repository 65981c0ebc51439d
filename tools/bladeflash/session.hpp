// One update of a board at its rescue menu: the menu keys, the serial
// download, the slot question, and what the board answers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bladeflash/line.hpp"

namespace bladeflash {

enum class Slot { ask, one, two, boot };

struct PackageImage {
    uint32_t type;
    uint32_t version;
};

struct Plan {
    Slot slot = Slot::ask;
    bool reboot = false;
    bool verify = false;
    int timeout_s = 60;  // longest silence of the board at any stage
    std::vector<uint8_t> package;
    std::vector<PackageImage> images;
};

enum Exit { EXIT_DONE = 0, EXIT_FAILED = 1, EXIT_USAGE = 2, EXIT_NO_ANSWER = 3 };

struct Outcome {
    int status = EXIT_DONE;
    std::string message;  // what went wrong, or what was done
    uint64_t sent = 0;
    double send_seconds = 0;
};

struct Report {
    std::function<void(const std::string&)> stage;
    std::function<void(uint64_t sent, uint64_t total, double seconds)> progress;
};

Outcome flash_board(FdLine& line, const Plan& plan, const Report& report);

// "1.2.10.11" of an id field; the version display's row label of an image
// type, or "" for one it does not show.
std::string version_text(uint32_t id);
std::string display_row(uint32_t type, Slot slot);

}  // namespace bladeflash
