// What the unit tests share: images and files, a call that captures the
// console and stops where the launcher never returns, and a board as the
// boot sequence leaves it before the first slot (buses and partitions open).
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string_view>

#include "bladeimg/image_builder.hpp"
#include "fakes/fake_platform.hpp"
#include "launcher/flash.hpp"
#include "launcher/i2c.hpp"
#include "launcher/image.hpp"
#include "launcher/state.hpp"

using namespace bladeboot;

namespace unit {

using Bytes = std::vector<uint8_t>;

inline Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

inline Bytes image(uint32_t type, std::string_view payload, bladeimg::Kind kind = bladeimg::Kind::plain)
{
    return bladeimg::make_image({type, 0x01020304, kind, 0}, bytes(payload));
}

inline Bytes app(std::string_view payload) { return image(IMAGE_APPLICATION, payload); }

// One payload bit flipped: the crc field no longer fits.
inline Bytes corrupt(Bytes img) { return img.back() ^= 0x01, img; }
inline Bytes operator+(Bytes a, const Bytes& b) { return a.insert(a.end(), b.begin(), b.end()), a; }

inline void write_file(const std::string& path, const Bytes& data)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline void write_file(const std::string& path, std::string_view text) { write_file(path, bytes(text)); }

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline bool has(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

// What one call left behind.
struct Outcome {
    int result = -1;  // when it returned
    std::optional<fake::Exited> exited;
    std::optional<fake::Execed> exec;
    std::string out, err;

    bool rebooted() const { return exited.has_value(); }
};

inline Outcome run(const std::function<int()>& call)
{
    Outcome o;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    try {
        o.result = call();
    } catch (const fake::Exited& e) {
        o.exited = e;
    } catch (const fake::Execed& e) {
        o.exec = e;
    }
    std::fflush(stdout);
    o.out = testing::internal::GetCapturedStdout();
    o.err = testing::internal::GetCapturedStderr();
    return o;
}

// A tool's main on a command line of words, as a shell would split it.
inline Outcome run_main(int (*main_fn)(int, char**), const std::string& line)
{
    std::istringstream words(line);
    std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
    std::vector<char*> argv(args.size() + 1);
    std::transform(args.begin(), args.end(), argv.begin(), [](std::string& a) { return a.data(); });
    return run([&] { return main_fn(static_cast<int>(args.size()), argv.data()); });
}

class BoardTest : public fake::BoardTest {
protected:
    void SetUp() override
    {
        fake::BoardTest::SetUp();
        api_i2c_init(st.i2c);
        api_flash_init(st.mtd);
    }
    uint8_t eeprom(uint16_t offset) { return b().eeprom.mem[offset]; }

    BootState st;
};

}  // namespace unit
