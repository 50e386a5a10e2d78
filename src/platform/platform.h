// Thin platform layer: the few operating-system calls the runtime host needs.
// Free of Qt so that the Windows half builds with a plain mingw-w64 toolchain.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

#ifdef _WIN32
using NativePath = std::wstring;   // UTF-16, as QueryFullProcessImageNameW gives it
#else
using NativePath = std::string;    // bytes, as readlink gives them
#endif

// Raises the process priority a little and opts out of power throttling where the
// system offers it. Best effort: every failure is ignored.
void tuneProcess();

enum class WindowState { Exists, Gone, Unknown };

// Whether the window with this handle still exists. Linux: an X11 window id asked of the
// X server named by DISPLAY; Unknown when no server can be reached, so the caller keeps
// the match going. Windows: IsWindow.
WindowState windowState(std::uint64_t handle);

// The process id of the running program.
std::uint32_t currentProcessId();

// The stale-process pass over every process that this program may terminate:
// for each process (own process skipped) whose executable path can be read, `matches`
// is asked; a matching process is terminated (exit code 1 where the system has codes),
// waited for up to 1000 ms, and counted when the termination succeeded.
// Returns the number of processes terminated.
int terminateMatchingProcesses(const std::function<bool(const NativePath &path)> &matches);

} // namespace platform
