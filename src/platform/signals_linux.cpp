// SIGPIPE: the front-end may close its end of our standard output (or error) at any time. A
// failed event line must not end the match, yet the emulator must start with the signal
// state the front-end gave us, not ours.
#include "platform/platform.h"

#include <csignal>
#include <cstring>

namespace {

// Written once in main before any thread and any child exists, read-only afterwards (also in
// the forked child, which has its own copy).
bool startupSaved = false;
bool startupPipeIgnored = false;
sigset_t startupMask;

} // namespace

namespace platform {

void ignoreBrokenPipes()
{
    struct sigaction current;
    std::memset(&current, 0, sizeof current);
    if (::sigaction(SIGPIPE, nullptr, &current) != 0)
        return;
    if (::sigprocmask(SIG_SETMASK, nullptr, &startupMask) != 0)
        return;
    // Right after exec a signal is either ignored or at its default: handlers do not survive.
    startupPipeIgnored = current.sa_handler == SIG_IGN;
    startupSaved = true;

    struct sigaction ignore;
    std::memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    (void)::sigaction(SIGPIPE, &ignore, nullptr);
}

void restoreStartupSignals()
{
    if (!startupSaved)
        return;
    struct sigaction startup;
    std::memset(&startup, 0, sizeof startup);
    startup.sa_handler = startupPipeIgnored ? SIG_IGN : SIG_DFL;
    sigemptyset(&startup.sa_mask);
    (void)::sigaction(SIGPIPE, &startup, nullptr);
    (void)::sigprocmask(SIG_SETMASK, &startupMask, nullptr);
}

} // namespace platform
