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
// X server named by DISPLAY; Unknown when no server can be reached or the handle is wider
// than an X window id (32 bits), so the caller keeps the match going. Windows: IsWindow.
WindowState windowState(std::uint64_t handle);

// Makes a write to a pipe or socket whose reading end is closed fail with an error instead
// of ending the program (POSIX: SIGPIPE ignored). Remembers first how the program was started
// (SIGPIPE's disposition and the signal mask) for restoreStartupSignals(). Call once at the
// start of main, before any thread exists. Windows has no such signal: nothing to do there.
void ignoreBrokenPipes();

// For a child between fork and exec: gives it back SIGPIPE's disposition and the signal mask
// the program was started with, so that what ignoreBrokenPipes() changed never reaches
// another program (an ignored signal survives exec). Only async-signal-safe calls. Does
// nothing when ignoreBrokenPipes() has not run, and nothing on Windows.
void restoreStartupSignals();

// The process id of the running program.
std::uint32_t currentProcessId();

// The stale-process pass over every process that this program may terminate:
// for each process (own process skipped) whose executable path can be read, `matches`
// is asked; a matching process is terminated (exit code 1 where the system has codes),
// waited for up to 1000 ms, and counted when the termination succeeded.
// Returns the number of processes terminated.
int terminateMatchingProcesses(const std::function<bool(const NativePath &path)> &matches);

} // namespace platform
