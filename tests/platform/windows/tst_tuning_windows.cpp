// Process tuning: the priority class is raised one step, and the power-throttling call,
// present or not, never disturbs the process.
#include "platform/platform.h"
#include "wincheck.h"

#include <windows.h>

int main()
{
    {
        bool passed = true;
        WINCHECK(::SetPriorityClass(::GetCurrentProcess(), NORMAL_PRIORITY_CLASS) != 0);
        platform::tuneProcess();
        WINCHECK(::GetPriorityClass(::GetCurrentProcess()) == ABOVE_NORMAL_PRIORITY_CLASS);
        wincheck::report("priority class above normal", passed);
    }
    {
        bool passed = true;
        platform::tuneProcess();  // twice is harmless
        WINCHECK(::GetPriorityClass(::GetCurrentProcess()) == ABOVE_NORMAL_PRIORITY_CLASS);
        wincheck::report("tuning twice keeps the class", passed);
    }
    return wincheck::result();
}
