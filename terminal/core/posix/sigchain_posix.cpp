#include "sigchain_posix.h"

void SigDefault(int sig)
{
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
}

void SigPassOn(int sig, siginfo_t *info, void *context, const struct sigaction *prev)
{
    if (prev != nullptr) {
        if ((prev->sa_flags & SA_SIGINFO) && prev->sa_sigaction != nullptr) {
            prev->sa_sigaction(sig, info, context);
            return;
        }
        if (prev->sa_handler != SIG_DFL && prev->sa_handler != SIG_IGN && prev->sa_handler != nullptr) {
            prev->sa_handler(sig);
            return;
        }
    }
    signal(sig, SIG_DFL);
    raise(sig);
}
