#include "launcher/yesno.hpp"

#include <cerrno>
#include <cstdio>

#include "platform/platform.hpp"

namespace bladeboot {

namespace {
constexpr int ANSWER_WAIT_MS = 5000;
}  // namespace

int yesno_question(const char* question)
{
    std::printf("%s", question);
    for (;;) {
        std::printf("(y/n) ");
        std::fflush(stdout);
        bool no_answer = plat::poll_in(0, ANSWER_WAIT_MS) <= 0;
        if (!no_answer) {
            char answer = 0;
            const ssize_t got = plat::read(0, &answer, 1);
            if (got == 1 && answer == 'y') return 1;
            if (got == 1 && answer == 'n') return 0;
            // A closed console polls readable at once and never yields a
            // byte: asking again would spin forever, so it counts as silence.
            no_answer = got == 0 || (got < 0 && errno != EINTR);
        }
        if (no_answer) {
            std::printf("\nTimeout. Assuming \"no\".\n");
            return 0;
        }
    }
}

}  // namespace bladeboot
