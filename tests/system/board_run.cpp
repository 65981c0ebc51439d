#include "board_run.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "board.hpp"

namespace systest {
namespace {

std::string test_name()
{
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name) {
        if (c == '/') c = '_';
    }
    return name;
}

}  // namespace

std::string slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string app_line(int slot)
{
    const std::string n = std::to_string(slot);
    return "sample application 1.0.0." + n + " (image" + n + ") running, SAMPLE_SETTING=from-env-setup-of-image" + n +
           "\n";
}

pid_t start_bladesim(const std::vector<std::string>& args, const std::function<bool()>& console)
{
    std::vector<std::string> argv_text{BLADESIM_PATH};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        if (!console()) ::_exit(126);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

Board::Board() : Board(test_name()) {}

Board::Board(const std::string& name) : dir_(fs::path(BOARDS_DIR) / name)
{
    fs::remove_all(dir_);
    fs::remove(dir_.string() + ".in");
    fs::create_directories(dir_.parent_path());
    const std::string error = bladesim::create_board(dir_);
    EXPECT_EQ(error, "");
}

Result Board::bladesim(const std::string& command, const std::vector<std::string>& args, const std::string& keys) const
{
    const std::string base = dir_.string();
    std::ofstream(base + ".in", std::ios::binary) << keys;

    std::vector<std::string> args_all{command, base};
    args_all.insert(args_all.end(), args.begin(), args.end());
    const pid_t pid = start_bladesim(args_all, [&base] {
        const int in = ::open((base + ".in").c_str(), O_RDONLY);
        const int out = ::open((base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        return in >= 0 && out >= 0 && err >= 0 && ::dup2(in, 0) == 0 && ::dup2(out, 1) == 1 && ::dup2(err, 2) == 2;
    });
    Result run;
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.status = WEXITSTATUS(status);
    run.out = slurp(base + ".out");
    run.err = slurp(base + ".err");
    return run;
}

Result Board::boot(const std::string& keys) const
{
    return bladesim("run", {"--speed", "500", "--timeout", "60"}, keys);
}

void Board::setenv(const std::vector<std::string>& assignments) const
{
    const Result run = bladesim("setenv", assignments);
    ASSERT_EQ(run.status, 0) << run.err;
}

uint8_t Board::eeprom(size_t offset) const { return read("eeprom.bin").at(offset); }

void Board::set_eeprom(size_t offset, uint8_t value) const
{
    auto bytes = read("eeprom.bin");
    bytes.at(offset) = value;
    write("eeprom.bin", bytes);
}

std::vector<std::string> Board::commands() const
{
    std::vector<std::string> lines;
    std::istringstream in(slurp(path("log/commands.log")));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string Board::platform_log() const { return slurp(path("log/platform.log")); }

std::string Board::outcome() const
{
    std::string word = slurp(path("log/outcome"));
    while (!word.empty() && word.back() == '\n') word.pop_back();
    return word;
}

std::vector<uint8_t> Board::read(const std::string& relative) const
{
    return bladesim::read_file(path(relative)).value_or(std::vector<uint8_t>{});
}

void Board::write(const std::string& relative, const std::vector<uint8_t>& bytes) const
{
    fs::create_directories(path(relative).parent_path());
    ASSERT_TRUE(bladesim::write_file(path(relative), bytes)) << relative;
}

void Board::damage_slot(int slot) const
{
    const std::string file = "user/images/image" + std::to_string(slot);
    auto bytes = read(file);
    ASSERT_GT(bytes.size(), 100u);
    bytes[100] ^= 0x01;
    write(file, bytes);
}

}  // namespace systest
