// A child process for the process-pass test: it only waits, for a bounded time, until
// somebody ends it. Exit code 0 when it ran out by itself.
#include <windows.h>

namespace {

// How long the helper idles if nothing ends it, ms.
constexpr DWORD IdleMs = 60000;

} // namespace

int main()
{
    ::Sleep(IdleMs);
    return 0;
}
