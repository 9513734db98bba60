// The calls the check makes for one window, with their exact arguments, in order.

#include "capture.h"
#include "check_window.h"
#include "scripted.h"
#include "test_names.h"

#include <psapi.h>

#include <gtest/gtest.h>

namespace {

struct CallsCase
{
    const char *what;
    const char *window; // a scenario "window" line
    std::vector<std::string> calls;
};

const char kProbe[] = "SendMessageTimeoutA(#0, 0x0, 0, 0, 0x2, 1000, null)";

// After a failed probe: is the window still there, and is its process one the system froze.
#define FAILED(pid) kProbe, "IsWindow(#0)", "GetWindowThreadProcessId(#0)", "OpenProcess(0x1000, 0, " pid ")"
#define FROZEN_QUERY(handle) "NtQueryInformationProcess(" handle ", 0, 64)", "CloseHandle(" handle ")"

const CallsCase kCallsCases[] = {
    {"answering window: the probe and nothing else", "window answers caption=\"A\" owner=7 path=\"C:\\\\a.exe\"",
     {kProbe}},
    {"hung window, owner opens, path read",
     "window deemed-hung caption=\"A\" owner=7 path=\"C:\\\\a.exe\"",
     {FAILED("7"), FROZEN_QUERY("h1"), "GetWindowTextA(#0, 1024)", "OpenProcess(0x410, 0, 7)",
      "GetModuleFileNameExA(h2, null, 1024)", "CloseHandle(h2)"}},
    {"timed-out window, path unreadable either way: the handle is closed all the same",
     "window times-out caption=\"A\" owner=7 path-unreadable",
     {FAILED("7"), FROZEN_QUERY("h1"), "GetWindowTextA(#0, 1024)", "OpenProcess(0x410, 0, 7)",
      "GetModuleFileNameExA(h2, null, 1024)", "QueryFullProcessImageNameA(h2, 0, 1024)", "CloseHandle(h2)"}},
    {"module lookup fails: the image name of the same handle",
     "window times-out caption=\"A\" owner=7 path=\"C:\\\\a.exe\" module-path-fails",
     {FAILED("7"), FROZEN_QUERY("h1"), "GetWindowTextA(#0, 1024)", "OpenProcess(0x410, 0, 7)",
      "GetModuleFileNameExA(h2, null, 1024)", "QueryFullProcessImageNameA(h2, 0, 1024)", "CloseHandle(h2)"}},
    {"owner denied: nothing to read, nothing to close", "window deemed-hung caption=\"A\" owner=7 denied",
     {FAILED("7"), FROZEN_QUERY("h1"), "GetWindowTextA(#0, 1024)", "OpenProcess(0x410, 0, 7)"}},
    {"no owner known: nothing to ask the system, the open is tried with id 0 and fails",
     "window deemed-hung caption=\"A\"",
     {kProbe, "IsWindow(#0)", "GetWindowThreadProcessId(#0)", "GetWindowTextA(#0, 1024)", "OpenProcess(0x410, 0, 0)"}},
    {"window gone: no caption, no owner", "window gone caption=\"A\" owner=7 path=\"C:\\\\a.exe\"",
     {kProbe, "IsWindow(#0)"}},
    {"probe refused, not deemed hung: not a hang", "window refused caption=\"A\" owner=7",
     {kProbe, "IsWindow(#0)", "IsHungAppWindow(#0)"}},
    {"deemed hung with another error: a hang", "window deemed-hung error=5 caption=\"A\" owner=7 denied",
     {kProbe, "IsWindow(#0)", "IsHungAppWindow(#0)", "GetWindowThreadProcessId(#0)", "OpenProcess(0x1000, 0, 7)",
      FROZEN_QUERY("h1"), "GetWindowTextA(#0, 1024)", "OpenProcess(0x410, 0, 7)"}},
    {"owner frozen by the system: its handle closed, nothing reported", "window times-out caption=\"A\" owner=7 owner-frozen",
     {FAILED("7"), FROZEN_QUERY("h1")}},
};

#undef FAILED
#undef FROZEN_QUERY

class Calls : public testing::TestWithParam<CallsCase>
{
};

TEST_P(Calls, AreExactlyThese)
{
    const CallsCase &c = GetParam();
    std::vector<scripted::Scenario> scenarios;
    ASSERT_EQ(scripted::ParseScenarios(std::string("scenario one\n") + c.window + "\n", scenarios), "");
    scripted::Load(scenarios.at(0));
    BOOL result = FALSE;
    {
        FlushRecorder out;
        result = CheckWindowProc(scripted::WindowHandle(0), 12345);
    }
    EXPECT_EQ(result, TRUE);
    EXPECT_EQ(scripted::GetTrace().calls, c.calls) << c.what;
    EXPECT_TRUE(scripted::GetTrace().violations.empty()) << testing::PrintToString(scripted::GetTrace().violations);
}

void PrintTo(const CallsCase &c, std::ostream *os) { *os << c.window; }

INSTANTIATE_TEST_SUITE_P(OneWindow, Calls, testing::ValuesIn(kCallsCases),
                         [](const testing::TestParamInfo<CallsCase> &param) { return TestName(param.param.what); });

// The platform's checks must be able to fail, or the scenario tests above prove nothing.
struct MisuseCase
{
    const char *what;
    void (*misuse)();
    const char *violation;
};

void WrongTimeout() { SendMessageTimeoutA(scripted::WindowHandle(0), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, NULL); }
void WrongFlags() { SendMessageTimeoutA(scripted::WindowHandle(0), WM_NULL, 0, 0, 0, 1000, NULL); }
void WrongMessage() { SendMessageTimeoutA(scripted::WindowHandle(0), 0x000D, 0, 0, SMTO_ABORTIFHUNG, 1000, NULL); }
void ResultSlot()
{
    DWORD_PTR slot = 0;
    SendMessageTimeoutA(scripted::WindowHandle(0), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &slot);
}
void ProbedTwice()
{
    SendMessageTimeoutA(scripted::WindowHandle(0), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, NULL);
    SendMessageTimeoutA(scripted::WindowHandle(0), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, NULL);
}
void LookupWithoutProbe()
{
    DWORD pid = 0;
    GetWindowThreadProcessId(scripted::WindowHandle(0), &pid);
}
void ShortCaptionBuffer()
{
    char text[1024];
    SendMessageTimeoutA(scripted::WindowHandle(0), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, NULL);
    GetWindowTextA(scripted::WindowHandle(0), text, 512);
}
void InheritableHandle() { CloseHandle(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, TRUE, 7)); }
void WrongAccess() { CloseHandle(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 7)); }
void DoubleClose()
{
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, 7);
    CloseHandle(process);
    CloseHandle(process);
}
void CloseNull() { CloseHandle(NULL); }
void PathAfterClose()
{
    char text[1024];
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, 7);
    CloseHandle(process);
    GetModuleFileNameExA(process, NULL, text, sizeof text);
}
void AskImageName(bool afterModulePath, DWORD flags)
{
    char text[1024];
    DWORD size = sizeof text;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, 7);
    if (afterModulePath)
        GetModuleFileNameExA(process, NULL, text, sizeof text);
    QueryFullProcessImageNameA(process, flags, text, &size);
    CloseHandle(process);
}
void PathThroughLimitedHandle()
{
    char text[1024];
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 7);
    GetModuleFileNameExA(process, NULL, text, sizeof text);
    CloseHandle(process);
}
void ImageNameFirst() { AskImageName(false, 0); }
void ImageNameAfterModulePath() { AskImageName(true, 0); }
void ImageNameNativeFormat() { AskImageName(false, 1); }
BOOL CALLBACK Stop(HWND, LPARAM) { return FALSE; }
void CallbackStops() { EnumWindows(Stop, 0); }
BOOL CALLBACK Leak(HWND, LPARAM)
{
    OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, 7);
    return TRUE;
}
void HandleLeaked() { EnumWindows(Leak, 0); }

const MisuseCase kMisuseCases[] = {
    {"timeout", WrongTimeout, "probe timeout is 5000 ms"},
    {"flags", WrongFlags, "not SMTO_ABORTIFHUNG alone"},
    {"message", WrongMessage, "probe is not WM_NULL"},
    {"result slot", ResultSlot, "probe asks for a result"},
    {"second probe", ProbedTwice, "probed twice"},
    {"owner before probe", LookupWithoutProbe, "before its probe"},
    {"caption buffer", ShortCaptionBuffer, "caption buffer of 512 bytes"},
    {"inheritable", InheritableHandle, "made inheritable"},
    {"access", WrongAccess, "process opened for 0x400"},
    {"double close", DoubleClose, "CloseHandle on a handle that is not open"},
    {"close of a failed open", CloseNull, "CloseHandle on a handle that is not open: null"},
    {"read after close", PathAfterClose, "handle that is not open"},
    {"path through a limited handle", PathThroughLimitedHandle, "handle opened for 0x1000"},
    {"image name first", ImageNameFirst, "without the module lookup failing first"},
    {"image name after a path", ImageNameAfterModulePath, "without the module lookup failing first"},
    {"image name format", ImageNameNativeFormat, "format other than Win32's"},
    {"callback stops", CallbackStops, "callback returned 0"},
    {"leak", HandleLeaked, "1 process handle(s) left open"},
};

class Misuse : public testing::TestWithParam<MisuseCase>
{
};

TEST_P(Misuse, IsCaught)
{
    const MisuseCase &c = GetParam();
    std::vector<scripted::Scenario> scenarios;
    ASSERT_EQ(scripted::ParseScenarios("scenario one\nwindow answers owner=7 path=\"C:\\\\a.exe\"\n", scenarios), "");
    scripted::Load(scenarios.at(0));
    c.misuse();
    const std::vector<std::string> &violations = scripted::GetTrace().violations;
    const bool caught = std::any_of(violations.begin(), violations.end(),
                                    [&c](const std::string &v) { return v.find(c.violation) != std::string::npos; });
    EXPECT_TRUE(caught) << c.what << ": " << testing::PrintToString(violations);
}

void PrintTo(const MisuseCase &c, std::ostream *os) { *os << c.what; }

INSTANTIATE_TEST_SUITE_P(Platform, Misuse, testing::ValuesIn(kMisuseCases),
                         [](const testing::TestParamInfo<MisuseCase> &param) { return TestName(param.param.what); });

} // namespace
