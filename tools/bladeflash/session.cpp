#include "bladeflash/session.hpp"

#include <chrono>
#include <cstdio>

#include "launcher/image.hpp"

namespace bladeflash {

std::string version_text(uint32_t id)
{
    char text[20];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", id >> 24, (id >> 16) & 255u, (id >> 8) & 255u, id & 255u);
    return text;
}

std::string display_row(uint32_t type, Slot slot)
{
    switch (type) {
    case bladeboot::IMAGE_UBOOT: return "Boot image  ";
    case bladeboot::IMAGE_RFS: return "RFS image   ";
    case bladeboot::IMAGE_KERNEL: return "Kernel image";
    case bladeboot::IMAGE_DFT: return "DFT image   ";
    case bladeboot::IMAGE_APPLICATION:
        return slot == Slot::one ? "OS image 1  " : slot == Slot::two ? "OS image 2  " : "";
    default: return "";
    }
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* MENU_PROMPT = "Option? : ";
constexpr int NUDGE_MS = 3000;

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The board's console as text, read up to what the dialogue waits for.
class Console {
public:
    Console(FdLine& line, int silence_s) : line_(line), silence_ms_(silence_s * 1000) {}

    static constexpr int SILENT = -1, CLOSED = -2;

    // The index of the first of texts to show after the mark (the mark then
    // moves past it), SILENT after silence_ms of nothing new, or CLOSED.
    // nudge is called after each NUDGE_MS of quiet.
    // limit_s, when given, ends the wait however much the board says.
    int wait_for(const std::vector<std::string>& texts, const std::function<void()>& nudge = {}, double limit_s = 0)
    {
        const auto start = Clock::now();
        int quiet = 0, since_nudge = 0;
        for (;;) {
            size_t best = std::string::npos;
            int which = SILENT;
            for (size_t i = 0; i < texts.size(); ++i) {
                const size_t at = text_.find(texts[i], mark_);
                if (at < best) best = at, which = static_cast<int>(i);
            }
            if (which >= 0) {
                mark_ = best + texts[static_cast<size_t>(which)].size();
                return which;
            }
            const int c = line_.get(100);
            if (c == Line::CLOSED) return CLOSED;
            if (c >= 0) {
                text_ += static_cast<char>(c);
                quiet = since_nudge = 0;
                if (limit_s > 0 && since(start) > limit_s) return SILENT;
                continue;
            }
            quiet += 100, since_nudge += 100;
            if (quiet >= silence_ms_ || (limit_s > 0 && since(start) > limit_s)) return SILENT;
            if (nudge && since_nudge >= NUDGE_MS) nudge(), since_nudge = 0;
        }
    }
    // Whatever else comes within ms.
    void linger(int ms)
    {
        for (int waited = 0; waited < ms; waited += 100) {
            const int c = line_.get(100);
            if (c == Line::CLOSED) return;
            if (c >= 0) text_ += static_cast<char>(c), waited -= 100;
        }
    }
    size_t mark() const { return mark_; }
    std::string since_mark(size_t from) const { return text_.substr(from); }
    std::string after_mark() const { return text_.substr(mark_); }

private:
    FdLine& line_;
    int silence_ms_;
    std::string text_;
    size_t mark_ = 0;
};

bool has(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// The board's own words for a failure: the lines that say so.
std::string failure_lines(const std::string& text)
{
    static const char* const signs[] = {"Bad crc", "too big", "failed", "ERROR", "Failed", "not possible", "Can't"};
    std::string out, line;
    for (const char c : text + "\n") {
        if (c != '\n' && c != '\r') {
            line += c;
            continue;
        }
        for (const char* s : signs)
            if (has(line, s)) {
                out += (out.empty() ? "" : "; ") + line;
                break;
            }
        line.clear();
    }
    return out;
}

Outcome fail(int status, std::string message) { return {status, std::move(message), 0, 0}; }

Outcome no_answer(int got, const char* waiting_for)
{
    return fail(EXIT_NO_ANSWER, std::string(got == Console::CLOSED ? "the line closed" : "no answer from the board") +
                                    " while waiting for " + waiting_for);
}

class Session {
public:
    Session(FdLine& line, const Plan& plan, const Report& report)
        : line_(line), plan_(plan), report_(report), console_(line, plan.timeout_s)
    {
    }

    Outcome run()
    {
        stage("waiting for the rescue menu");
        // A board already sitting at the menu printed its prompt long ago:
        // an Enter makes it ask again.
        int got = console_.wait_for({MENU_PROMPT}, [this] { line_.put("\r"); });
        if (got < 0) return no_answer(got, "the rescue menu");
        Outcome out = download();
        if (out.status != EXIT_DONE) return out;
        if (plan_.slot == Slot::boot) return out;
        if (plan_.verify) {
            Outcome v = verify();
            if (v.status != EXIT_DONE) return v;
        }
        if (plan_.reboot) {
            Outcome r = reboot();
            if (r.status != EXIT_DONE) return r;
            out.message += "; rebooted";
        }
        return out;
    }

private:
    void stage(const std::string& s)
    {
        if (report_.stage) report_.stage(s);
    }

    Outcome download()
    {
        line_.put("X");
        // The board flushes the line once it has said what to do, so the
        // words may never arrive; its Enter prompt is then quiet.
        if (console_.wait_for({"before initiating the download."}, {}, 1.5) == Console::CLOSED)
            return no_answer(Console::CLOSED, "the serial download");
        stage("sending " + std::to_string(plan_.package.size()) + " bytes");
        const auto start = Clock::now();
        SendOptions o;
        o.invite_ms = o.silence_ms = plan_.timeout_s * 1000;
        o.answer_ms = std::min(10000, o.silence_ms);
        // The board waits for Enter at the download speed before its receiver starts.
        auto last_enter = start - std::chrono::seconds(1);
        o.on_idle = [&] {
            if (since(last_enter) < 1.0) return;
            line_.put("\r");
            last_enter = Clock::now();
        };
        o.on_progress = [&](uint64_t n) {
            if (report_.progress) report_.progress(n, plan_.package.size(), since(start));
        };
        const SendResult sent = xmodem_send(line_, plan_.package, o);
        const double seconds = since(start);
        if (sent != SendResult::done) {
            console_.linger(2000);
            const std::string board = failure_lines(console_.after_mark());
            const int status = sent == SendResult::timeout || sent == SendResult::closed ? EXIT_NO_ANSWER : EXIT_FAILED;
            return fail(status, std::string(send_result_text(sent)) + (board.empty() ? "" : ": " + board));
        }
        char rate[80];
        std::snprintf(rate, sizeof rate, "sent in %.1f s (%.1f KiB/s)", seconds,
                      static_cast<double>(plan_.package.size()) / 1024.0 / std::max(seconds, 1e-3));
        stage(rate);
        Outcome out = install();
        out.sent = plan_.package.size();
        out.send_seconds = seconds;
        return out;
    }

    Outcome install()
    {
        // As at the start, the board's words on the switch back may be
        // flushed. It waits for a line feed; a second one would answer its
        // slot question, so one is resent only after a quiet pause.
        int got = console_.wait_for({"Change the baud rate back"}, {}, 1.5);
        const size_t from = console_.mark();
        // Its reminders keep coming while it waits, so the pause is timed.
        const auto start = Clock::now();
        do {
            line_.put("\n");
            got = console_.wait_for({"Extracting images", MENU_PROMPT}, {}, 3.0);
        } while (got == Console::SILENT && since(start) < plan_.timeout_s);
        if (got < 0) return no_answer(got, "the install");
        if (got == 1) return fail(EXIT_FAILED, "the board kept no file from the download");
        stage(plan_.slot == Slot::boot ? "booting the package" : "installing");
        for (;;) {
            got = console_.wait_for({"Install image as image 1 or 2", MENU_PROMPT, "Image ready to boot..."});
            if (got < 0) return no_answer(got, "the install to finish");
            if (got == 0) {
                console_.wait_for({": "});
                line_.put(plan_.slot == Slot::one ? "1\n" : plan_.slot == Slot::two ? "2\n" : "\n");
                continue;
            }
            const std::string text = console_.since_mark(from);
            if (got == 2) return {EXIT_DONE, "booting the downloaded image", 0, 0};
            if (has(text, "File processed") && !has(text, "ERROR: No valid image found")) break;
            const std::string board = failure_lines(text);
            return fail(EXIT_FAILED, board.empty() ? "the board installed nothing" : board);
        }
        std::string where = plan_.slot == Slot::one ? " into slot 1" : plan_.slot == Slot::two ? " into slot 2" : "";
        return {EXIT_DONE, "installed" + where, 0, 0};
    }

    Outcome verify()
    {
        stage("reading the installed versions");
        line_.put("V");
        int got = console_.wait_for({"Installed images versions"});
        const size_t from = console_.mark();
        if (got >= 0) got = console_.wait_for({MENU_PROMPT});
        if (got < 0) return no_answer(got, "the version display");
        const std::string shown = console_.since_mark(from);
        std::string wrong;
        for (const PackageImage& im : plan_.images) {
            const std::string row = display_row(im.type, plan_.slot);
            if (row.empty()) continue;
            const std::string want = version_text(im.version);
            const size_t at = shown.find(row + ": ");
            std::string seen = at == std::string::npos ? "nothing" : shown.substr(at + row.size() + 2);
            seen = seen.substr(0, seen.find_first_of("\r\n"));
            if (seen != want) wrong += (wrong.empty() ? "" : "; ") + row + " shows " + seen + ", the package holds " + want;
        }
        if (!wrong.empty()) return fail(EXIT_FAILED, "version check: " + wrong);
        stage("versions match the package");
        return {};
    }

    Outcome reboot()
    {
        stage("rebooting");
        line_.put("R");
        // The board comes back through its boot; a line that closes is a
        // board that went down (the simulated one ends its run).
        const int got = console_.wait_for({"Booting image '"});
        if (got == Console::SILENT) return no_answer(got, "the board to boot again");
        return {};
    }

    FdLine& line_;
    const Plan& plan_;
    const Report& report_;
    Console console_;
};

}  // namespace

Outcome flash_board(FdLine& line, const Plan& plan, const Report& report) { return Session(line, plan, report).run(); }

}  // namespace bladeflash
