// The front-end window watch: a live window exists, a destroyed one and null are gone.
#include "platform/platform.h"
#include "wincheck.h"

#include <windows.h>

#include <cstdint>

namespace {

std::uint64_t handleNumber(HWND window)
{
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(window));
}

} // namespace

int main()
{
    {
        bool passed = true;
        WINCHECK(platform::windowState(0) == platform::WindowState::Gone);
        wincheck::report("null handle is gone", passed);
    }
    {
        bool passed = true;
        // A message-only window needs no display, so this also runs on a headless wine.
        const HWND window = ::CreateWindowExW(0, L"STATIC", L"kivra-window-test", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                              nullptr, ::GetModuleHandleW(nullptr), nullptr);
        WINCHECK(window != nullptr);
        if (window) {
            const std::uint64_t number = handleNumber(window);
            WINCHECK(platform::windowState(number) == platform::WindowState::Exists);
            WINCHECK(::DestroyWindow(window) != 0);
            WINCHECK(platform::windowState(number) == platform::WindowState::Gone);
        }
        wincheck::report("live window exists, destroyed window is gone", passed);
    }
    {
        bool passed = true;
        // Beyond what a handle can hold on this build (only 32-bit builds can tell).
        const std::uint64_t wide = sizeof(void *) < 8 ? (std::uint64_t(1) << 40) : 0;
        WINCHECK(platform::windowState(wide) == platform::WindowState::Gone);
        wincheck::report("number wider than a handle is gone", passed);
    }
    return wincheck::result();
}
