#include <termios.h>

#include <cstdio>
#include <cstring>

#include "launcher/console.hpp"
#include "platform/platform.hpp"

namespace bladeboot {

namespace {

constexpr int CTRL_A = 1;
constexpr int CTRL_B = 2;
constexpr int CTRL_C = 3;
constexpr int CTRL_D = 4;
constexpr int CTRL_F = 6;
constexpr int BELL = 7;
constexpr int BS = 8;
constexpr int LF = 10;
constexpr int CR = 13;
constexpr int ESC = 27;
constexpr int DEL = 127;

// Raw mode lasts for one byte only, so a shell or a program started between
// two keys finds the console as it expects it. A console that is not a
// terminal has no settings to change or put back.
class RawKey {
public:
    RawKey() : terminal_(plat::tcgetattr(0, &saved_) == 0)
    {
        if (!terminal_) return;
        termios raw = saved_;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        plat::tcsetattr(0, TCSANOW, &raw);
    }
    ~RawKey()
    {
        if (terminal_) plat::tcsetattr(0, TCSANOW, &saved_);
    }
    RawKey(const RawKey&) = delete;
    RawKey& operator=(const RawKey&) = delete;

private:
    termios saved_{};
    bool terminal_;
};

class LineEditor {
public:
    LineEditor(char* buffer, int size) : line_(buffer), room_(size)
    {
        std::memset(buffer, 0, static_cast<size_t>(size));
    }

    // True when the line is finished.
    bool key(int k)
    {
        switch (escape_) {
            case 1:
                return after_escape(k);
            case 2:
                after_bracket(k);
                return false;
            default:
                return ordinary(k);
        }
    }

private:
    int length() const { return static_cast<int>(std::strlen(line_)); }

    static void put(int c) { uartPutC(c); }
    static void backspaces(int n)
    {
        for (int i = 0; i < n; ++i) put(BS);
    }

    bool ordinary(int k)
    {
        switch (k) {
            case CTRL_A:
                backspaces(cursor_);
                cursor_ = 0;
                return false;
            case CTRL_B:
                left();
                return false;
            case CTRL_C:
                for (const char* s = " <break>\n"; *s; ++s) put(*s);
                return true;
            case CTRL_D:
                if (cursor_ < length()) delete_at_cursor();
                return false;
            case CTRL_F:
                right();
                return false;
            case BS:
            case DEL:
                delete_before_cursor();
                return false;
            case LF:
            case CR:
                put(LF);
                return true;
            case ESC:
                escape_ = 1;
                return false;
            default:
                break;
        }
        if (k < 32 || k > 255) {
            put(BELL);
            return false;
        }
        insert(k);
        return false;
    }

    bool after_escape(int k)
    {
        escape_ = 0;
        if (k == '[') {
            escape_ = 2;
            return false;
        }
        if (k == BS || k == DEL) {
            delete_before_cursor();
            return false;
        }
        return ordinary(k);
    }

    void after_bracket(int k)
    {
        if ((k >= '0' && k <= '9') || k == ';') return;
        escape_ = 0;
        if (k == 'C') right();
        if (k == 'D') left();
    }

    void left()
    {
        if (cursor_ == 0) return;
        --cursor_;
        put(BS);
    }

    void right()
    {
        if (cursor_ >= length()) return;
        put(line_[cursor_++]);
    }

    void insert(int k)
    {
        if (room_ <= 1) {
            put(BELL);
            return;
        }
        const int tail = length() - cursor_;
        std::memmove(line_ + cursor_ + 1, line_ + cursor_, static_cast<size_t>(tail) + 1);
        line_[cursor_] = static_cast<char>(k);
        --room_;
        put(k);
        ++cursor_;
        for (int i = 0; i < tail; ++i) put(static_cast<unsigned char>(line_[cursor_ + i]));
        backspaces(tail);
    }

    void delete_before_cursor()
    {
        if (cursor_ == 0) return;
        --cursor_;
        put(BS);
        delete_at_cursor();
    }

    // Closes the gap, wipes the column freed at the end and brings the
    // terminal's cursor back.
    void delete_at_cursor()
    {
        const int tail = length() - cursor_ - 1;
        std::memmove(line_ + cursor_, line_ + cursor_ + 1, static_cast<size_t>(tail) + 1);
        ++room_;
        for (int i = 0; i < tail; ++i) put(static_cast<unsigned char>(line_[cursor_ + i]));
        put(' ');
        backspaces(tail + 1);
    }

    char* line_;
    int room_;
    int cursor_ = 0;
    int escape_ = 0;
};

}  // namespace

KeyRead read_key(int* key)
{
    unsigned char c = 0;
    ssize_t n = 0;
    {
        RawKey raw;
        n = plat::read(0, &c, 1);
    }
    *key = n == 1 ? c : 0;
    if (n == 1) return KeyRead::key;
    return n == 0 ? KeyRead::ended : KeyRead::none;
}

int uartGetC()
{
    int key = 0;
    read_key(&key);
    return key;
}

int uartPutC(int c)
{
    std::putchar(c & 0xFF);
    return std::fflush(stdout);
}

bool read_line(char* buffer, int size)
{
    if (size < 1) return true;
    LineEditor editor(buffer, size);
    for (;;) {
        int key = 0;
        // With the console gone no key will ever come: finish the line as
        // typed instead of ringing the bell forever.
        if (read_key(&key) == KeyRead::ended) {
            uartPutC(LF);
            return false;
        }
        if (editor.key(key)) return true;
    }
}

char* get_user_input(char* buffer, int size)
{
    read_line(buffer, size);
    return buffer;
}

}  // namespace bladeboot
