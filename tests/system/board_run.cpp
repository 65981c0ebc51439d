#include "board_run.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "board.hpp"

namespace systest {

std::string slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

pid_t start(const std::string& program, const std::vector<std::string>& args, const std::function<bool()>& console)
{
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        if (console()) ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

int finish(pid_t pid, bool kill)
{
    if (kill) ::kill(-pid, SIGKILL);  // an ended one keeps its status
    int status = 0;
    return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Board::Board(const std::string& name)
{
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    std::string own = name.empty() ? std::string(test->test_suite_name()) + "." + test->name() : name;
    std::replace(own.begin(), own.end(), '/', '_');
    dir = fs::path(BOARDS_DIR) / own;
    fs::remove_all(dir);
    fs::create_directories(dir.parent_path());
    EXPECT_EQ(bladesim::create_board(dir), "");
}

Result Board::bladesim(const std::string& command, const std::vector<std::string>& args, const std::string& keys) const
{
    const std::string base = dir.string();
    std::ofstream(base + ".in", std::ios::binary) << keys;
    std::vector<std::string> all{command, base};
    all.insert(all.end(), args.begin(), args.end());
    const pid_t pid = start(BLADESIM_PATH, all, [&base] {
        const int in = ::open((base + ".in").c_str(), O_RDONLY);
        const int out = ::open((base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        return in >= 0 && out >= 0 && err >= 0 && ::dup2(in, 0) == 0 && ::dup2(out, 1) == 1 && ::dup2(err, 2) == 2;
    });
    return {pid > 0 ? finish(pid, false) : -1, slurp(base + ".out"), slurp(base + ".err")};
}

void Board::setenv(const std::vector<std::string>& assignments) const
{
    const Result run = bladesim("setenv", assignments);
    ASSERT_EQ(run.status, 0) << run.err;
}

Bytes Board::read(const std::string& relative) const { return bladesim::read_file(path(relative)).value_or(Bytes{}); }

void Board::write(const std::string& relative, const Bytes& bytes) const
{
    fs::create_directories(path(relative).parent_path());
    ASSERT_TRUE(bladesim::write_file(path(relative), bytes)) << relative;
}

std::vector<std::string> Board::commands() const
{
    std::vector<std::string> lines;
    std::istringstream in(slurp(path("log/commands.log")));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string Board::outcome() const
{
    std::string word = slurp(path("log/outcome"));
    return word.substr(0, word.find('\n'));
}

}  // namespace systest
