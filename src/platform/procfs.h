// Linux half of the stale-process pass, opened up so tests can reach the pieces that the
// platform interface hides: the /proc text parsers and both termination methods.
#pragma once

#include "platform/platform.h"

#include <string>

namespace platform::procfs {

// The executable path from the text of a /proc/<pid>/exe link: the kernel appends
// " (deleted)" once the file was unlinked or replaced, and the process still counts as
// started from the original path. `literalNameIsLive` says that a file named exactly
// `linkText` exists and is the running image, in which case the text is kept whole.
std::string executablePathFromLink(const std::string &linkText, bool literalNameIsLive);

// The real uid from the text of /proc/<pid>/status ("Uid:" line, first field).
// False when the line is missing or malformed.
bool realUidFromStatus(const std::string &statusText, unsigned long *uid);

enum class Termination {
    PidFd,  // pidfd_open + pidfd_send_signal + poll: immune to pid reuse
    Kill,   // kill() and bounded polling, for kernels without pidfd (before 5.3)
};

// Whether this kernel offers pidfd_open.
bool pidFdAvailable();

// The pass of platform::terminateMatchingProcesses with a chosen termination method.
int terminateMatchingProcesses(const std::function<bool(const NativePath &path)> &matches,
                               Termination method);

} // namespace platform::procfs
