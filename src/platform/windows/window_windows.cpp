// Front-end window watch on Windows.
#include "platform/platform.h"

#include <windows.h>

#include <cstdint>

namespace platform {

WindowState windowState(std::uint64_t handle)
{
    // A number too wide for this build's handles names no window here; truncating it
    // could name some other window.
    const auto native = static_cast<std::uintptr_t>(handle);
    if (static_cast<std::uint64_t>(native) != handle)
        return WindowState::Gone;
    const HWND window = reinterpret_cast<HWND>(native);
    return ::IsWindow(window) ? WindowState::Exists : WindowState::Gone;
}

} // namespace platform
