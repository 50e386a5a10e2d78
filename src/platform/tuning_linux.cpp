#include "platform/platform.h"

#include <sys/resource.h>

namespace {

// One step above normal, like the above-normal priority class elsewhere. Needs privilege
// (CAP_SYS_NICE or an RLIMIT_NICE allowance); without it the call fails and is ignored.
constexpr int RaisedNiceness = -1;

} // namespace

namespace platform {

void tuneProcess()
{
    // Only ever raise: a process started already above normal keeps its priority.
    if (::getpriority(PRIO_PROCESS, 0) > RaisedNiceness)
        (void)::setpriority(PRIO_PROCESS, 0, RaisedNiceness);
    // Linux has no per-process power-throttling opt-out; nothing to do for that step.
}

} // namespace platform
