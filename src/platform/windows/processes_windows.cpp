// Stale-process pass on Windows: a Toolhelp snapshot lists the processes; each one is opened
// before its image path is read, so the handle pins the process that gets terminated.
#include "platform/platform.h"

#include <windows.h>
#include <tlhelp32.h>

#include <string>

namespace {

// End it, read its image path, wait for it to be gone.
constexpr DWORD StaleProcessAccess = PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;
// Image path buffer, UTF-16 units (1040 bytes).
constexpr DWORD ImagePathUnits = 520;
// Exit code given to a terminated leftover process.
constexpr UINT StaleExitCode = 1;
// How long to wait for a terminated process to be gone, ms.
constexpr DWORD TerminationWaitMs = 1000;
// Upper bound of snapshot entries visited; far above any real process count.
constexpr int MaxProcessEntries = 1 << 20;

} // namespace

#if defined(_WIN64)
static_assert(sizeof(PROCESSENTRY32W) == 568, "PROCESSENTRY32W must be 568 bytes on 64-bit Windows");
#endif

namespace platform {

std::uint32_t currentProcessId()
{
    return static_cast<std::uint32_t>(::GetCurrentProcessId());
}

int terminateMatchingProcesses(const std::function<bool(const NativePath &path)> &matches)
{
    const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    const DWORD own = ::GetCurrentProcessId();
    int count = 0;
    PROCESSENTRY32W entry{};
    // The structure's own size (568 bytes on 64-bit): a larger claim would let the
    // system write past it on 32-bit builds.
    entry.dwSize = sizeof(entry);
    BOOL more = ::Process32FirstW(snapshot, &entry);
    for (int visited = 0; more && visited < MaxProcessEntries;
         ++visited, more = ::Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == own)
            continue;
        const HANDLE process = ::OpenProcess(StaleProcessAccess, FALSE, entry.th32ProcessID);
        if (!process)
            continue;
        wchar_t buffer[ImagePathUnits] = {};
        DWORD size = ImagePathUnits;
        if (::QueryFullProcessImageNameW(process, 0, buffer, &size) && size > 0 && size < ImagePathUnits) {
            const NativePath path(buffer, size);
            if (matches(path) && ::TerminateProcess(process, StaleExitCode)) {
                ::WaitForSingleObject(process, TerminationWaitMs);
                ++count;
            }
        }
        ::CloseHandle(process);
    }
    ::CloseHandle(snapshot);
    return count;
}

} // namespace platform
