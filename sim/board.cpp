#include "board.hpp"

#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "bladeimg/image_builder.hpp"
#include "launcher/image.hpp"
#include "targz.hpp"

using namespace bladeboot;

namespace bladesim {
namespace {

std::string version_text(uint32_t v)
{
    char text[20];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", v >> 24, (v >> 16) & 255, (v >> 8) & 255, v & 255);
    return text;
}

std::vector<uint8_t> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> filled_partition(const Partition& part, std::span<const uint8_t> content)
{
    std::vector<uint8_t> bytes(part.size, 0xFF);
    std::copy(content.begin(), content.end(), bytes.begin());
    return bytes;
}

}  // namespace

uint32_t sample_application_version(int slot) { return 0x01000000u | static_cast<uint32_t>(slot & 255); }

std::vector<uint8_t> sample_application_image(int slot)
{
    const uint32_t version = sample_application_version(slot);
    const std::string v = version_text(version);
    const std::string name = "image" + std::to_string(slot);
    const std::vector<TarEntry> tree{
        {"home/", "", 0755},
        {"home/bin/", "", 0755},
        {"home/bin/distro-id", "bladesim sample " + v + "\n"},
        {"home/bin/install.sh", "#!/bin/sh\necho \"install.sh: sample application " + v + " set up\"\n", 0755},
        {"home/bin/env-setup", "SAMPLE_SETTING from-env-setup-of-" + name + "\n"},
        {"home/bin/mp.elf.strip",
         "#!/bin/sh\necho \"sample application " + v + " (" + name + ") running, SAMPLE_SETTING=$SAMPLE_SETTING\"\n",
         0755},
    };
    return bladeimg::make_image({IMAGE_APPLICATION, version}, tar_gz(tree));
}

std::vector<uint8_t> sample_diags_image()
{
    const std::string v = version_text(SAMPLE_SYSTEM_VERSION);
    const std::vector<TarEntry> tree{
        {"home/", "", 0755},
        {"home/bin/", "", 0755},
        {"home/bin/distro-id", "bladesim sample diagnostics " + v + "\n"},
        {"mpdiag.elf.strip", "#!/bin/sh\necho \"sample diagnostics " + v + " running\"\n", 0755},
    };
    return bladeimg::make_image({IMAGE_DIAGS, SAMPLE_SYSTEM_VERSION}, tar_gz(tree));
}

std::vector<uint8_t> sample_uboot_payload()
{
    constexpr size_t HEADER_AT = 240;
    std::vector<uint8_t> payload(1024, 0);
    const std::string banner = "bladesim sample boot loader " + version_text(SAMPLE_SYSTEM_VERSION) + "\n";
    std::copy(banner.begin(), banner.end(), payload.begin());
    // The header of the package image this payload came from, less its crc
    // (which would have to cover itself); the version check ignores that field.
    put_be32(&payload[HEADER_AT + 4], static_cast<uint32_t>(payload.size()));
    put_be32(&payload[HEADER_AT + 8], IMAGE_UBOOT);
    put_be32(&payload[HEADER_AT + 12], SAMPLE_SYSTEM_VERSION);
    return payload;
}

std::vector<uint8_t> sample_system_image(uint32_t type)
{
    const char* name = bladeimg::type_name(type);
    const std::string text =
        std::string("bladesim sample ") + (name ? name : "image") + " " + version_text(SAMPLE_SYSTEM_VERSION) + "\n";
    return bladeimg::make_image({type, SAMPLE_SYSTEM_VERSION}, bytes_of(text));
}

std::vector<uint8_t> initial_eeprom()
{
    std::vector<uint8_t> eeprom(EEPROM_BYTES, 0xFF);
    eeprom[EEPROM_PREFERRED] = 1;
    eeprom[EEPROM_BOOTED] = 0;
    eeprom[EEPROM_USBBOOT] = 0;
    return eeprom;
}

std::optional<Environment> parse_environment(std::span<const uint8_t> block, bool check_crc)
{
    if (block.size() < 6) return std::nullopt;
    const auto data = block.subspan(4);
    const uLong crc = crc32(0, data.data(), static_cast<uInt>(data.size()));
    if (check_crc && get_be32(block.data()) != static_cast<uint32_t>(crc)) return std::nullopt;
    Environment vars;
    size_t at = 0;
    while (at < data.size() && data[at] != 0) {
        size_t end = at;
        while (end < data.size() && data[end] != 0) ++end;
        const std::string entry(data.begin() + static_cast<long>(at), data.begin() + static_cast<long>(end));
        const size_t eq = entry.find('=');
        if (eq != std::string::npos && eq > 0) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
        at = end + 1;
    }
    return vars;
}

std::optional<std::vector<uint8_t>> make_environment(const Environment& vars, size_t size)
{
    std::vector<uint8_t> block(size, 0);
    size_t at = 4;
    for (const auto& [name, value] : vars) {
        const std::string entry = name + "=" + value;
        // Room for this entry's zero and the list's closing zero.
        if (at + entry.size() + 2 > size) return std::nullopt;
        std::copy(entry.begin(), entry.end(), block.begin() + static_cast<long>(at));
        at += entry.size() + 1;
    }
    if (size < 6) return std::nullopt;
    const uLong crc = crc32(0, block.data() + 4, static_cast<uInt>(size - 4));
    put_be32(block.data(), static_cast<uint32_t>(crc));
    return block;
}

const std::string* beyond_launcher(const Environment& vars)
{
    size_t at = 4;
    for (const auto& [name, value] : vars) {
        at += name.size() + 1 + value.size();
        if (at > LAUNCHER_ENV_END) return &name;
        ++at;  // its closing zero
    }
    return nullptr;
}

std::string apply_assignment(Environment& vars, const std::string& assignment)
{
    const size_t eq = assignment.find('=');
    if (eq == std::string::npos || eq == 0) return "not NAME=VALUE: " + assignment;
    const std::string name = assignment.substr(0, eq);
    const std::string value = assignment.substr(eq + 1);
    if (name.find_first_of(" \t\n") != std::string::npos) return "a variable name has no blanks: " + name;
    if (value.empty()) {
        vars.erase(name);
    } else {
        vars[name] = value;
    }
    return {};
}

std::optional<std::vector<uint8_t>> read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return bytes;
}

bool write_file(const fs::path& path, std::span<const uint8_t> bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

std::string create_board(const fs::path& dir)
{
    std::error_code ec;
    if (fs::exists(dir, ec)) {
        if (!fs::is_directory(dir, ec)) return dir.string() + " exists and is not a folder";
        if (!fs::is_empty(dir, ec)) return dir.string() + " is not empty";
    }
    for (const char* sub : {"flash", "user/images", "log"}) {
        fs::create_directories(dir / sub, ec);
        if (ec) return "cannot create " + (dir / sub).string() + ": " + ec.message();
    }

    const auto env = make_environment({}, PARTITIONS[1].size);
    const std::vector<uint8_t> contents[] = {
        sample_uboot_payload(),         *env,
        sample_system_image(IMAGE_DFT), sample_system_image(IMAGE_KERNEL),
        sample_system_image(IMAGE_RFS), sample_diags_image(),
    };
    for (size_t i = 0; i < PARTITIONS.size(); ++i) {
        const fs::path path = dir / "flash" / PARTITIONS[i].file;
        if (!write_file(path, filled_partition(PARTITIONS[i], contents[i]))) return "cannot write " + path.string();
    }
    for (int slot : {1, 2}) {
        const fs::path path = dir / "user/images" / ("image" + std::to_string(slot));
        if (!write_file(path, sample_application_image(slot))) return "cannot write " + path.string();
    }
    if (!write_file(dir / "eeprom.bin", initial_eeprom())) return "cannot write " + (dir / "eeprom.bin").string();
    return {};
}

}  // namespace bladesim
