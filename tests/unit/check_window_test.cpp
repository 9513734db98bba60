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

// Deemed hung: nothing sent. Otherwise WM_NULL is sent, and the scan waits for its answer.
#define HUNG "IsHungAppWindow(#0)"
#define SENT HUNG, "SendMessageCallbackA(#0, 0x0, 0, 0)"
#define WAITED SENT, "MsgWaitForMultipleObjects(1000)"

// After an unanswered probe: is the window still there, and is its process one the system froze.
#define FAILED(pid) "IsWindow(#0)", "GetWindowThreadProcessId(#0)", "OpenProcess(0x1000, 0, " pid ")"
#define FROZEN_QUERY(handle) "NtQueryInformationProcess(" handle ", 0, 64)", "CloseHandle(" handle ")"

const CallsCase kCallsCases[] = {
    {"answering window: the probe and nothing else", "window answers caption=\"A\" owner=7 path=\"C:\\\\a.exe\"",
     {SENT}},
    {"hung window, owner opens, path read",
     "window deemed-hung caption=\"A\" owner=7 path=\"C:\\\\a.exe\"",
     {HUNG, FAILED("7"), FROZEN_QUERY("h1"), "GetWindowTextA(#0, 1024)", "OpenProcess(0x410, 0, 7)",
      "GetModuleFileNameExA(h2, null, 1024)", "CloseHandle(h2)"}},
    {"timed-out window, path unreadable either way: the handle is closed all the same",
     "window times-out caption=\"A\" owner=7 path-unreadable",
     {WAITED, FAILED("7"), FROZEN_QUERY("h1"), "GetWindowTextA(#0, 1024)", "OpenProcess(0x410, 0, 7)",
      "GetModuleFileNameExA(h2, null, 1024)", "QueryFullProcessImageNameA(h2, 0, 1024)", "CloseHandle(h2)"}},
    {"module lookup fails: the image name of the same handle",
     "window times-out caption=\"A\" owner=7 path=\"C:\\\\a.exe\" module-path-fails",
     {WAITED, FAILED("7"), FROZEN_QUERY("h1"), "GetWindowTextA(#0, 1024)", "OpenProcess(0x410, 0, 7)",
      "GetModuleFileNameExA(h2, null, 1024)", "QueryFullProcessImageNameA(h2, 0, 1024)", "CloseHandle(h2)"}},
    {"owner denied: nothing to read, nothing to close", "window deemed-hung caption=\"A\" owner=7 denied",
     {HUNG, FAILED("7"), FROZEN_QUERY("h1"), "GetWindowTextA(#0, 1024)", "OpenProcess(0x410, 0, 7)"}},
    {"no owner known: nothing to ask the system, the open is tried with id 0 and fails",
     "window deemed-hung caption=\"A\"",
     {HUNG, "IsWindow(#0)", "GetWindowThreadProcessId(#0)", "GetWindowTextA(#0, 1024)", "OpenProcess(0x410, 0, 0)"}},
    {"window gone: the send fails, no caption, no owner", "window gone caption=\"A\" owner=7 path=\"C:\\\\a.exe\"",
     {SENT}},
    {"probe refused, not deemed hung: not a hang", "window refused caption=\"A\" owner=7", {SENT}},
    {"send refused for want of an answer: a hang, with no wait", "window refused error=1460 caption=\"A\" owner=7 denied",
     {SENT, FAILED("7"), FROZEN_QUERY("h1"), "GetWindowTextA(#0, 1024)", "OpenProcess(0x410, 0, 7)"}},
    {"deemed hung with another error: a hang", "window deemed-hung error=5 caption=\"A\" owner=7 denied",
     {HUNG, FAILED("7"), FROZEN_QUERY("h1"), "GetWindowTextA(#0, 1024)", "OpenProcess(0x410, 0, 7)"}},
    {"owner frozen by the system: its handle closed, nothing reported", "window times-out caption=\"A\" owner=7 owner-frozen",
     {WAITED, FAILED("7"), FROZEN_QUERY("h1")}},
    {"answer at 999 ms: in time", "window answers after=999 caption=\"A\" owner=7", {WAITED}},
    {"answer at 1001 ms: too late", "window answers after=1001 caption=\"A\" owner=7 denied",
     {WAITED, FAILED("7"), FROZEN_QUERY("h1"), "GetWindowTextA(#0, 1024)", "OpenProcess(0x410, 0, 7)"}},
    {"destroyed while its answer is awaited: gone, not hung", "window times-out gone-after=300 caption=\"A\" owner=7",
     {WAITED, "IsWindow(#0)"}},
    {"the wait fails: the limit is slept, then the answer taken",
     "message-wait-fails\nwindow answers after=600 caption=\"A\" owner=7", {WAITED}},
};

#undef HUNG
#undef SENT
#undef WAITED
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
        FinishWindowChecks();
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

// The probes of a scan, sent and awaited on a desktop of their own.
void Desktop(const char *windows)
{
    std::vector<scripted::Scenario> scenarios;
    scripted::ParseScenarios(std::string("scenario probes\n") + windows, scenarios);
    scripted::Load(scenarios.at(0));
}
VOID CALLBACK IgnoreAnswer(HWND, UINT, ULONG_PTR, LRESULT) {}
void Send(size_t window) { SendMessageCallbackA(scripted::WindowHandle(window), WM_NULL, 0, 0, IgnoreAnswer, window); }
DWORD Wait(DWORD ms, DWORD wake = QS_ALLINPUT) { return MsgWaitForMultipleObjects(0, NULL, FALSE, ms, wake); }
void WaitsTwice()
{
    Desktop("window times-out\n");
    Send(0);
    Wait(1000);
    Wait(1000);
}
void WaitsOneAfterAnother()
{
    Desktop("window times-out\nwindow times-out\n");
    Send(0);
    Wait(1000);
    Send(1);
}
void AnswerOfAnotherWindow()
{
    Desktop("window answers caption=\"A\"\nwindow times-out caption=\"B\"\n");
    Send(0);
    Send(1);
    MSG message;
    PeekMessageA(&message, NULL, 0, 0, PM_REMOVE);
    char text[1024];
    GetWindowTextA(scripted::WindowHandle(0), text, sizeof text);
}
BOOL CALLBACK SendEach(HWND hwnd, LPARAM)
{
    SendMessageCallbackA(hwnd, WM_NULL, 0, 0, IgnoreAnswer, 0);
    return TRUE;
}
void SecondProbeWhileUnanswered()
{
    Desktop("window times-out\n");
    EnumWindows(SendEach, 0);
    EnumWindows(SendEach, 0);
}
void SendWithoutCallback() { SendMessageCallbackA(scripted::WindowHandle(0), WM_NULL, 0, 0, NULL, 0); }
void QueueOfOneWindow()
{
    MSG message;
    PeekMessageA(&message, scripted::WindowHandle(0), 0, 0, PM_REMOVE);
}
void WaitThatDoesNotWake()
{
    Send(0);
    Wait(100, 0x0001);
}

const MisuseCase kMisuseCases[] = {
    {"a scan that waits twice", WaitsTwice, "beyond the time of every probe sent"},
    {"probes that wait one after another", WaitsOneAfterAnother, "probed after the scan waited"},
    {"an answer taken for another window", AnswerOfAnotherWindow, "which answered the probe"},
    {"a second probe while the first is unanswered", SecondProbeWhileUnanswered, "while its first is unanswered"},
    {"a send without a callback", SendWithoutCallback, "without a callback"},
    {"the queue of one window read", QueueOfOneWindow, "queue read other than whole"},
    {"a wait that does not wake for answers", WaitThatDoesNotWake, "does not wake for them"},
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
