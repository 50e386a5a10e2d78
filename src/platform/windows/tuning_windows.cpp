// Process tuning on Windows: a step above normal priority, and no power throttling, so the
// relay keeps its pace when the emulator window is in the background.
#include "platform/platform.h"

#include <windows.h>

#include <cstdint>

namespace {

// ABOVE_NORMAL_PRIORITY_CLASS.
constexpr DWORD AboveNormalPriority = 0x8000;
// PROCESS_INFORMATION_CLASS value ProcessPowerThrottling.
constexpr int ProcessPowerThrottlingClass = 4;
// PROCESS_POWER_THROTTLING_CURRENT_VERSION.
constexpr std::uint32_t PowerThrottlingVersion = 1;
// EXECUTION_SPEED (0x1) | IGNORE_TIMER_RESOLUTION (0x4): the two throttlings we control.
constexpr std::uint32_t PowerThrottlingControlMask = 0x5;
// Both controlled throttlings off.
constexpr std::uint32_t PowerThrottlingStateMask = 0;

// PROCESS_POWER_THROTTLING_STATE, spelled out: older SDK headers lack it.
struct PowerThrottlingState {
    std::uint32_t version;
    std::uint32_t controlMask;
    std::uint32_t stateMask;
};
static_assert(sizeof(PowerThrottlingState) == 12, "PROCESS_POWER_THROTTLING_STATE is 12 bytes");

// SetProcessInformation exists from Windows 8 on: looked up, never linked.
using SetProcessInformationFunction = BOOL(WINAPI *)(HANDLE, int, LPVOID, DWORD);

} // namespace

namespace platform {

void tuneProcess()
{
    ::SetPriorityClass(::GetCurrentProcess(), AboveNormalPriority);

    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    if (!kernel)
        return;
    const FARPROC found = ::GetProcAddress(kernel, "SetProcessInformation");
    if (!found)
        return;
    // Through void(*)(): the documented way to change a function pointer's type.
    const auto setProcessInformation =
        reinterpret_cast<SetProcessInformationFunction>(reinterpret_cast<void (*)()>(found));
    PowerThrottlingState state{PowerThrottlingVersion, PowerThrottlingControlMask, PowerThrottlingStateMask};
    setProcessInformation(::GetCurrentProcess(), ProcessPowerThrottlingClass, &state, sizeof(state));
}

} // namespace platform
