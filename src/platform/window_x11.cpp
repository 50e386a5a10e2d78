#include "platform/platform.h"
// placeholder, replaced by the real implementation
namespace platform { WindowState windowState(std::uint64_t) { return WindowState::Unknown; } }
