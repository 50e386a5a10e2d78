// Process tuning on Windows: a step above normal priority, and no power throttling, so the
// relay keeps its pace when the emulator window is in the background.
#include "platform/platform.h"

#include <windows.h>

namespace {

// Both throttlings we control: execution speed and timer resolution.
constexpr ULONG ControlledThrottling =
    PROCESS_POWER_THROTTLING_EXECUTION_SPEED | PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION;
// Both controlled throttlings off.
constexpr ULONG NoThrottling = 0;

// SetProcessInformation exists from Windows 8 on: looked up, never linked.
using SetProcessInformationFunction = BOOL(WINAPI *)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);

} // namespace

namespace platform {

void tuneProcess()
{
    ::SetPriorityClass(::GetCurrentProcess(), ABOVE_NORMAL_PRIORITY_CLASS);

    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    if (!kernel)
        return;
    const FARPROC found = ::GetProcAddress(kernel, "SetProcessInformation");
    if (!found)
        return;
    // Through void(*)(): the documented way to change a function pointer's type.
    const auto setProcessInformation =
        reinterpret_cast<SetProcessInformationFunction>(reinterpret_cast<void (*)()>(found));
    PROCESS_POWER_THROTTLING_STATE state{PROCESS_POWER_THROTTLING_CURRENT_VERSION, ControlledThrottling, NoThrottling};
    setProcessInformation(::GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof(state));
}

} // namespace platform
