#include <gtest/gtest.h>
#include <termios.h>

#include <ostream>
#include <string>
#include <vector>

#include "fakes/fake_platform.hpp"
#include "launcher/launch.hpp"
#include "launcher/rescue.hpp"

using namespace bladeboot;

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const std::string BS = "\b";
const std::string BELL = "\a";
const std::string ESC = "\x1b";
const std::string DEL = "\x7f";

class ConsoleTest : public fake::BoardTest {
protected:
    void SetUp() override
    {
        fake::BoardTest::SetUp();
        b().console.attr.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
        b().console.attr.c_cc[VMIN] = 9;
        b().console.attr.c_cc[VTIME] = 3;
    }

    // Edits one line from keys; returns the line and keeps the echo in echo.
    std::string edit(const std::string& keys, int size = 128)
    {
        b().console.type(keys);
        std::vector<char> buffer(static_cast<size_t>(size), 'Z');
        CaptureStdout();
        char* result = get_user_input(buffer.data(), size);
        echo = GetCapturedStdout();
        EXPECT_EQ(result, buffer.data());
        EXPECT_EQ(buffer.back(), '\0');
        return buffer.data();
    }

    std::string echo;
};

struct EditCase {
    const char* name;
    std::string keys;
    std::string line;
    std::string echo;
    friend void PrintTo(const EditCase& c, std::ostream* os) { *os << c.name; }
};

class LineEditing : public ConsoleTest, public testing::WithParamInterface<EditCase> {};

TEST_P(LineEditing, EchoesAndEditsByteForByte)
{
    const EditCase& c = GetParam();
    EXPECT_EQ(edit(c.keys), c.line);
    EXPECT_EQ(echo, c.echo);
    EXPECT_TRUE(b().console.keys.empty()) << "keys after the end of the line were read";
}

INSTANTIATE_TEST_SUITE_P(
    Console, LineEditing,
    testing::Values(
        EditCase{"InsertInTheMiddle", "ab\x01x\r", "xab", "ab" + BS + BS + "xab" + BS + BS + "\n"},
        EditCase{"BackspaceMidLineRedrawsTail", "abc\x02\b\n", "ac", "abc" + BS + BS + "c " + BS + BS + "\n"},
        EditCase{"DelAtEndWipesLastColumn", "abc" + DEL + "\n", "ab", "abc" + BS + " " + BS + "\n"},
        EditCase{"CtrlDUnderCursor", "abc\x01\x04\n", "bc", "abc" + BS + BS + BS + "bc " + BS + BS + BS + "\n"},
        EditCase{"NothingToDeleteAtEitherEnd", "\b" + DEL + "ab\x04\x01\b\x02\n", "ab", "ab" + BS + BS + "\n"},
        EditCase{"CtrlFAndCtrlBMove", "ab\x02\x02\x02\x06\x06\x06-\n", "ab-", "ab" + BS + BS + "ab-\n"},
        EditCase{"ArrowRightWithParameters", "ab\x01" + ESC + "[1;5Cx\n", "axb", "ab" + BS + BS + "axb" + BS + "\n"},
        EditCase{"ArrowLeft", "ab" + ESC + "[Dx\n", "axb", "ab" + BS + "xb" + BS + "\n"},
        EditCase{"UpArrowAndDeleteKeyDoNothing", "ab" + ESC + "[A" + ESC + "[3~\n", "ab", "ab\n"},
        EditCase{"EscapeThenLetterInserts", ESC + "x\n", "x", "x\n"},
        EditCase{"EscapeThenDelDeletes", "ab" + ESC + DEL + "\n", "a", "ab" + BS + " " + BS + "\n"},
        EditCase{"DoubleEscapeStaysInEscape", "a" + ESC + ESC + "[D" + "x\n", "xa", "a" + BS + "xa" + BS + "\n"},
        EditCase{"EnterMidLineReturnsWholeLine", "hello\x02\x02\r", "hello", "hello" + BS + BS + "\n"},
        EditCase{"CtrlCKeepsTheLine", "12\x03", "12", "12 <break>\n"},
        EditCase{"ControlKeysRingTheBell",
                 std::string("a\t\x05\0\x1f"
                             "b\n",
                             7),
                 "ab", "a" + BELL + BELL + BELL + BELL + "b\n"},
        EditCase{"HighBytesAreCharacters", "\x80\xff\xe9" + DEL + "\n", "\x80\xff",
                 "\x80\xff\xe9" + BS + " " + BS + "\n"},
        EditCase{"EndOfInputFinishesTheLine", "ab", "ab", "ab\n"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(ConsoleTest, FullLineRingsTheBell)
{
    EXPECT_EQ(edit(std::string(128, 'q') + "\n"), std::string(127, 'q'));
    EXPECT_EQ(echo, std::string(127, 'q') + BELL + "\n");

    // Deleting one makes room for exactly one more, also in the middle.
    EXPECT_EQ(edit("abcd\x02\bXY\n", 5), "abXd");
    EXPECT_EQ(echo.substr(echo.size() - 4), "d" + BS + BELL + "\n");

    EXPECT_EQ(edit("ab\n", 1), "");
    EXPECT_EQ(echo, BELL + BELL + "\n");
}

TEST_F(ConsoleTest, InterruptRingsTheBellAndLeavesTheFlagForTheCaller)
{
    b().console.type("12");
    b().console.keys.push_back(fake::INTERRUPT);
    EXPECT_EQ(edit("3\n"), "123");
    EXPECT_EQ(echo, "12" + BELL + "3\n");
    EXPECT_EQ(sig_quit_raised, 1);
}

TEST_F(ConsoleTest, RawKeyOnlyForTheRead)
{
    const termios before = b().console.attr;
    b().console.type("\xe9");
    EXPECT_EQ(uartGetC(), 0xE9);

    const auto& history = b().console.attr_history;
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0].c_lflag, static_cast<tcflag_t>(ISIG | IEXTEN));
    EXPECT_EQ(history[0].c_cc[VMIN], 1);
    EXPECT_EQ(history[0].c_cc[VTIME], 0);
    EXPECT_EQ(b().console.attr.c_lflag, before.c_lflag);
    EXPECT_EQ(b().console.attr.c_cc[VMIN], 9);
    EXPECT_EQ(b().console.attr.c_cc[VTIME], 3);

    // Interrupted and empty reads give 0 and still restore; only the empty
    // one means the input has ended.
    b().console.keys.push_back(fake::INTERRUPT);
    EXPECT_EQ(uartGetC(), 0);
    EXPECT_FALSE(console_input_ended());
    EXPECT_EQ(uartGetC(), 0);
    EXPECT_TRUE(console_input_ended());
    ASSERT_EQ(history.size(), 6u);
    EXPECT_EQ(history[3].c_lflag, before.c_lflag);
    EXPECT_EQ(history[5].c_lflag, before.c_lflag);
}

TEST_F(ConsoleTest, ConsoleThatIsNotATerminal)
{
    b().console.is_tty = false;
    b().console.type("k");
    EXPECT_EQ(uartGetC(), 'k');
    EXPECT_EQ(b().console.getattr_calls, 1);
    EXPECT_TRUE(b().console.attr_history.empty());
}

}  // namespace
