// Windows has no SIGPIPE: a write to a closed pipe just fails, and children inherit no signal
// dispositions. Nothing to change, nothing to give back.
#include "platform/platform.h"

namespace platform {

void ignoreBrokenPipes()
{
}

void restoreStartupSignals()
{
}

} // namespace platform
