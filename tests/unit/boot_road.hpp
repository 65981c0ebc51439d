// Shared by the boot road's tests: slot files, images and a runner that
// captures the console and stops at the roads that never return.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bladeimg/image_builder.hpp"
#include "fakes/fake_platform.hpp"
#include "launcher/i2c.hpp"
#include "launcher/image.hpp"

using namespace bladeboot;

namespace boot_road {

using Bytes = std::vector<uint8_t>;

inline Bytes image(uint32_t type, std::string_view payload, bladeimg::Kind kind = bladeimg::Kind::plain)
{
    const auto* p = reinterpret_cast<const uint8_t*>(payload.data());
    return bladeimg::make_image({type, 0x01020304, kind, 0}, {p, payload.size()});
}

inline Bytes app(std::string_view payload) { return image(IMAGE_APPLICATION, payload); }

// Same image with one payload bit flipped: the crc field no longer fits.
inline Bytes corrupt(Bytes img)
{
    img.back() ^= 0x01;
    return img;
}

inline Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline void write_file(const std::string& path, const Bytes& bytes)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void write_file(const std::string& path, std::string_view text)
{
    write_file(path, Bytes(text.begin(), text.end()));
}

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// What one call left behind.
struct Outcome {
    int result = -1;  // when it returned
    std::optional<int> exit_status;
    std::optional<fake::Execed> exec;
    std::string out, err;

    bool rebooted() const { return exit_status.has_value(); }
};

inline Outcome run(const std::function<int()>& call)
{
    Outcome o;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    try {
        o.result = call();
    } catch (const fake::Exited& e) {
        o.exit_status = e.status;
    } catch (const fake::Execed& e) {
        o.exec = e;
    }
    std::fflush(stdout);
    o.out = testing::internal::GetCapturedStdout();
    o.err = testing::internal::GetCapturedStderr();
    return o;
}

inline bool contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

// A board with the buses open and an unpacked tree that looks compatible.
class BootRoadTest : public fake::BoardTest {
protected:
    void SetUp() override
    {
        fake::BoardTest::SetUp();
        api_i2c_init();
        b().i2c_log.clear();
        write_file("/tmp/home/bin/distro-id", "");
    }
    uint8_t booted_slot() { return b().eeprom.mem[EEPROM_BOOTED_SLOT]; }
};

}  // namespace boot_road
