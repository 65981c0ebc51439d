#include <termios.h>

#include "launcher/console.hpp"
#include "support.hpp"

using namespace unit;

namespace {

const std::string BS = "\b", BELL = "\a", ESC = "\x1b", DEL = "\x7f";

class Console : public BoardTest {
protected:
    // Edits one line from keys; the echo is kept in `echo`.
    std::string edit(const std::string& keys, int size = 128)
    {
        b().console.type(keys);
        std::vector<char> buffer(static_cast<size_t>(size), 'Z');
        echo = run([&] { return get_user_input(buffer.data(), size) == buffer.data() ? 0 : 1; }).out;
        EXPECT_EQ(buffer.back(), '\0');
        return buffer.data();
    }
    std::string echo;
};

}  // namespace

TEST_F(Console, LineEditorEchoesAndEditsByteForByteInRawModeForOneKeyAtATime)
{
    const struct {
        std::string keys, line, echo;
    } cases[] = {
        {"ab\x01x\r", "xab", "ab" + BS + BS + "xab" + BS + BS + "\n"},
        {"abc\x02\b\n", "ac", "abc" + BS + BS + "c " + BS + BS + "\n"},
        {"abc" + DEL + "\n", "ab", "abc" + BS + " " + BS + "\n"},
        {"abc\x01\x04\n", "bc", "abc" + BS + BS + BS + "bc " + BS + BS + BS + "\n"},
        {"\b" + DEL + "ab\x04\x01\b\x02\n", "ab", "ab" + BS + BS + "\n"},
        {"ab\x02\x02\x02\x06\x06\x06-\n", "ab-", "ab" + BS + BS + "ab-\n"},
        {"ab\x01" + ESC + "[1;5Cx\n", "axb", "ab" + BS + BS + "axb" + BS + "\n"},
        {"ab" + ESC + "[Dx\n", "axb", "ab" + BS + "xb" + BS + "\n"},
        {ESC + "xab" + ESC + "[A" + ESC + "[3~\n", "xab", "xab\n"},  // a lone ESC, arrow up and Delete do nothing
        {"ab" + ESC + DEL + "\n", "a", "ab" + BS + " " + BS + "\n"},
        {"a" + ESC + ESC + "[Dx\n", "xa", "a" + BS + "xa" + BS + "\n"},
        {"12\x03", "12", "12 <break>\n"},
        {std::string("a\t\x05\0\x1f" "b\n", 7), "ab", "a" + BELL + BELL + BELL + BELL + "b\n"},
        {"\x80\xff\xe9" + DEL + "\n", "\x80\xff", "\x80\xff\xe9" + BS + " " + BS + "\n"},
        {"ab", "ab", "ab\n"},  // the console ended: the line is finished as typed
        {std::string(128, 'q') + "\n", std::string(127, 'q'), std::string(127, 'q') + BELL + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys);
        EXPECT_EQ(edit(c.keys), c.line);
        EXPECT_EQ(echo, c.echo);
        EXPECT_TRUE(b().console.keys.empty()) << "keys after the end of the line were read";
    }
    EXPECT_EQ(edit("abcd\x02\bXY\n", 5), "abXd") << "a deletion makes room for one more";
    b().console.type("12"), b().console.keys.push_back(fake::INTERRUPT);
    EXPECT_EQ(edit("3\n"), "123");
    EXPECT_EQ(echo, "12" + BELL + "3\n");
    EXPECT_EQ(sig_quit_raised, 1) << "left for the caller";

    // Raw mode lasts for one key.
    SetUp();
    auto& console = b().console;
    console.attr.c_lflag = ICANON | ECHO | ISIG | IEXTEN, console.attr.c_cc[VMIN] = 9;
    console.type("\xe9"), console.keys.push_back(fake::INTERRUPT);
    EXPECT_EQ(uartGetC(), 0xE9);
    int key = 1;
    EXPECT_EQ((std::pair{read_key(&key), key}), std::pair(KeyRead::none, 0));
    EXPECT_EQ(read_key(&key), KeyRead::ended);
    ASSERT_EQ(console.attr_history.size(), 6u);
    const termios& raw = console.attr_history[0];
    EXPECT_EQ(std::tuple(raw.c_lflag, raw.c_cc[VMIN], raw.c_cc[VTIME]), std::tuple(tcflag_t(ISIG | IEXTEN), 1, 0));
    for (size_t i : {1, 3, 5}) EXPECT_EQ(console.attr_history[i].c_cc[VMIN], 9) << "put back after each key";
}
