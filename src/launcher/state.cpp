#include "launcher/state.hpp"

namespace bladeboot {

volatile sig_atomic_t sig_quit_raised = 0;

void sig_handler(int) { sig_quit_raised = 1; }

int sig_init()
{
    struct sigaction action {};
    action.sa_handler = sig_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    return sigaction(SIGINT, &action, nullptr);
}

void ignore_quit_and_stop()
{
    std::signal(SIGQUIT, SIG_IGN);
    std::signal(SIGTSTP, SIG_IGN);
}

}  // namespace bladeboot
