// The Windows process pass on real child processes: copies of an idle helper in a private
// temporary folder, found by path through the snapshot and terminated. Every matcher names
// only those copies (or the own image, which must never be ended), so nothing else is hit.
#include "platform/platform.h"
#include "wincheck.h"

#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

// Ample time for a terminated child to be gone, ms.
constexpr DWORD ChildEndWaitMs = 5000;
// Long-path buffer for building test paths, UTF-16 units.
constexpr DWORD PathUnits = 1024;

std::wstring modulePath()
{
    std::vector<wchar_t> buffer(PathUnits, L'\0');
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), PathUnits);
    return std::wstring(buffer.data(), length < PathUnits ? length : 0);
}

std::wstring directoryOf(const std::wstring &path)
{
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring makeScratchDirectory()
{
    std::vector<wchar_t> buffer(PathUnits, L'\0');
    const DWORD length = ::GetTempPathW(PathUnits, buffer.data());
    if (length == 0 || length >= PathUnits)
        return {};
    std::wstring dir(buffer.data(), length);
    dir += L"kivra-platform-" + std::to_wstring(::GetCurrentProcessId());
    if (!::CreateDirectoryW(dir.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
        return {};
    return dir;
}

bool samePath(const std::wstring &a, const std::wstring &b)
{
    return !a.empty() && ::CompareStringOrdinal(a.c_str(), int(a.size()), b.c_str(), int(b.size()), TRUE) == CSTR_EQUAL;
}

// The image path the system reports for a process we hold a handle to.
std::wstring imagePathOf(HANDLE process)
{
    std::vector<wchar_t> buffer(PathUnits, L'\0');
    DWORD size = PathUnits;
    if (!::QueryFullProcessImageNameW(process, 0, buffer.data(), &size))
        return {};
    return std::wstring(buffer.data(), size);
}

struct Child {
    PROCESS_INFORMATION info{};
    bool started = false;

    explicit Child(const std::wstring &program)
    {
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        std::wstring commandLine = L"\"" + program + L"\"";
        started = ::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &startup, &info) != 0;
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child()
    {
        if (!started)
            return;
        if (::WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) {
            ::TerminateProcess(info.hProcess, 99);
            ::WaitForSingleObject(info.hProcess, ChildEndWaitMs);
        }
        ::CloseHandle(info.hThread);
        ::CloseHandle(info.hProcess);
    }
    bool running() const { return started && ::WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT; }
    DWORD exitCode() const
    {
        DWORD code = 0;
        ::GetExitCodeProcess(info.hProcess, &code);
        return code;
    }
};

} // namespace

int main()
{
    const std::wstring own = modulePath();
    const std::wstring helper = directoryOf(own) + L"\\" + (L"" IDLE_HELPER_NAME);
    const std::wstring scratch = makeScratchDirectory();
    const std::wstring copyA = scratch + L"\\idle-a.exe";
    const std::wstring copyB = scratch + L"\\idle-b.exe";
    {
        bool passed = true;
        WINCHECK(!own.empty());
        WINCHECK(!scratch.empty());
        WINCHECK(::CopyFileW(helper.c_str(), copyA.c_str(), FALSE) != 0);
        WINCHECK(::CopyFileW(helper.c_str(), copyB.c_str(), FALSE) != 0);
        wincheck::report("setup: helper copies in a private folder", passed);
        if (!passed)
            return wincheck::result();
    }

    {
        // A matching child is found by its path, terminated with exit code 1 and counted;
        // a child of another path stays; the own process is never offered.
        bool passed = true;
        Child a(copyA);
        Child b(copyB);
        WINCHECK(a.started && b.started);
        const std::wstring reportedA = imagePathOf(a.info.hProcess);
        bool sawA = false;
        bool sawOwn = false;
        bool exactLengths = true;
        const int count = platform::terminateMatchingProcesses([&](const platform::NativePath &path) {
            exactLengths = exactLengths && path.find(L'\0') == std::wstring::npos && !path.empty();
            sawOwn = sawOwn || samePath(path, own);
            const bool isA = samePath(path, copyA) || samePath(path, reportedA);
            sawA = sawA || isA;
            return isA;
        });
        WINCHECK(count == 1);
        WINCHECK(sawA);
        WINCHECK(!sawOwn);
        WINCHECK(exactLengths);
        WINCHECK(::WaitForSingleObject(a.info.hProcess, ChildEndWaitMs) == WAIT_OBJECT_0);
        WINCHECK(a.exitCode() == 1);
        WINCHECK(b.running());
        wincheck::report("matching child terminated and counted, other child untouched", passed);
    }

    {
        // The own image is in every real match list: the pass skips the own process.
        bool passed = true;
        int offeredOwn = 0;
        const int count = platform::terminateMatchingProcesses([&](const platform::NativePath &path) {
            offeredOwn += samePath(path, own) ? 1 : 0;
            return samePath(path, own);
        });
        WINCHECK(count == 0);
        WINCHECK(offeredOwn == 0);
        WINCHECK(platform::currentProcessId() == ::GetCurrentProcessId());
        wincheck::report("own process never terminated", passed);
    }

    {
        bool passed = true;
        Child first(copyA);
        Child second(copyA);
        WINCHECK(first.started && second.started);
        const std::wstring reported = imagePathOf(first.info.hProcess);
        const int count = platform::terminateMatchingProcesses(
            [&](const platform::NativePath &path) { return samePath(path, copyA) || samePath(path, reported); });
        WINCHECK(count == 2);
        WINCHECK(!first.running() && !second.running());
        const int again = platform::terminateMatchingProcesses(
            [&](const platform::NativePath &path) { return samePath(path, copyA) || samePath(path, reported); });
        WINCHECK(again == 0);
        wincheck::report("two instances of one path both counted, none left after", passed);
    }

    ::DeleteFileW(copyA.c_str());
    ::DeleteFileW(copyB.c_str());
    ::RemoveDirectoryW(scratch.c_str());
    return wincheck::result();
}
