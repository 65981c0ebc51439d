// A simulated board's folder: its files, the sample images a new board
// starts with, and the boot loader environment and boot settings EEPROM as
// the board keeps them. Shared by bladesim and whoever needs the same sample
// board (the emulated PowerPC board packs these partition files into one
// flash image).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/board_model.hpp"

namespace bladesim {

namespace fs = std::filesystem;

using boardmodel::Partition;
using boardmodel::PARTITIONS;

inline constexpr uint32_t SAMPLE_SYSTEM_VERSION = 0x01000000;  // 1.0.0.0
// Slot n holds version 1.0.0.n.
uint32_t sample_application_version(int slot);

// The sample images. An application image unpacks to home/bin/ with
// distro-id, install.sh, env-setup and mp.elf.strip; the program prints its
// version, its slot and SAMPLE_SETTING, which env-setup sets.
std::vector<uint8_t> sample_application_image(int slot);
std::vector<uint8_t> sample_diags_image();
// The boot loader partition holds a payload only; its header sits at byte
// 240 of it, as the installed boot loader carries one.
std::vector<uint8_t> sample_uboot_payload();
std::vector<uint8_t> sample_system_image(uint32_t type);  // kernel, rfs, device tree

// Creates a board in dir (missing or empty): flash partitions with the sample
// images, slots 1 and 2, an empty environment, the EEPROM preferring slot 1.
// Returns an error message, empty on success.
std::string create_board(const fs::path& dir);

// Boot loader environment: CRC-32 (zlib's, stored big-endian as the PowerPC
// boot loader writes it) of the data area, then NAME=VALUE\0 ... \0\0, rest 0.
using Environment = std::map<std::string, std::string>;
// nullopt when the CRC does not match (the boot loader then starts empty).
// With check_crc false, the variables as the launcher reads them regardless.
std::optional<Environment> parse_environment(std::span<const uint8_t> block, bool check_crc = true);
// nullopt when the variables do not fit in size bytes.
std::optional<std::vector<uint8_t>> make_environment(const Environment& vars, size_t size);
// The launcher reads the environment's bytes 4 to 1283 only; a variable that
// ends past them is never seen by it.
inline constexpr size_t LAUNCHER_ENV_END = 4 + 1280;
// The first variable of `vars`, as make_environment lays them out, that ends
// past LAUNCHER_ENV_END; nullptr when all lie within.
const std::string* beyond_launcher(const Environment& vars);
// Applies "NAME=VALUE" (an empty value removes NAME). Returns an error
// message, empty on success.
std::string apply_assignment(Environment& vars, const std::string& assignment);

// Boot settings EEPROM.
inline constexpr uint32_t EEPROM_BYTES = boardmodel::EEPROM_SIZE;
inline constexpr size_t EEPROM_PREFERRED = 256;
inline constexpr size_t EEPROM_BOOTED = 314;
inline constexpr size_t EEPROM_USBBOOT = 315;
std::vector<uint8_t> initial_eeprom();

// Whole-file helpers for the board folder.
std::optional<std::vector<uint8_t>> read_file(const fs::path& path);
bool write_file(const fs::path& path, std::span<const uint8_t> bytes);

}  // namespace bladesim
