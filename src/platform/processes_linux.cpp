#include "platform/platform.h"
#include <unistd.h>
// placeholder, replaced by the real implementation
namespace platform {
std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(::getpid()); }
int terminateMatchingProcesses(const std::function<bool(const NativePath &)> &) { return 0; }
}
