// A scene of real top-level windows for the end-to-end tests, each group on a thread of its own.
//
//   scene.exe GROUP...      GROUP = KIND[=MS][*COUNT]:HEX[:HEX...]   (see scene_args.h)
//
// KIND is "answer" (the thread pumps messages), "frozen" (the thread creates its windows and
// never asks for a message again), "slow" (the thread pumps, but holds back its answer to each
// WM_NULL for MS milliseconds), "churn" (the thread creates and destroys its windows over and
// over, pumping in between, until the scene ends), "spin" (the thread creates its windows, then
// computes without pause and never pumps) or "suspended" (the thread creates its windows and is
// then suspended with SuspendThread) or "freezes" (the thread pumps until the scene reads the line
// "freeze" on standard input, then stops asking for messages, together with every other such
// thread, and the scene prints "frozen"). A frozen thread waits on an event, never to be set. Every HEX is one window's caption,
// hex-encoded so that any byte survives the command line; COUNT repeats the group's windows on
// the same thread.
//
// Prints "ready" once every window exists, and exits when standard input closes.

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "scene_args.h"

namespace {

const char kClassName[] = "HungscanSceneWindow";

enum Kind { kAnswer, kFrozen, kSlow, kChurn, kSpin, kSuspended, kFreezes };

// Set by the line "freeze": the "freezes" threads stop pumping, all at once.
HANDLE freezeEvent = NULL;

struct Group
{
    Kind kind = kAnswer;
    DWORD delayMs = 0;
    unsigned count = 1;
    std::vector<std::string> captions;
    HANDLE created = NULL;
    HANDLE release = NULL;
};

bool ParseGroup(const std::string &arg, Group &group)
{
    SceneGroupArgs parsed;
    if (!ParseSceneGroup(arg, parsed) || parsed.foreign || parsed.noPid || parsed.liar)
        return false;
    if (parsed.kind == "answer")
        group.kind = kAnswer;
    else if (parsed.kind == "frozen")
        group.kind = kFrozen;
    else if (parsed.kind == "slow")
        group.kind = kSlow;
    else if (parsed.kind == "churn")
        group.kind = kChurn;
    else if (parsed.kind == "spin")
        group.kind = kSpin;
    else if (parsed.kind == "suspended")
        group.kind = kSuspended;
    else if (parsed.kind == "freezes")
        group.kind = kFreezes;
    else
        return false;
    group.delayMs = static_cast<DWORD>(parsed.delayMs);
    group.count = parsed.count;
    group.captions = parsed.captions;
    return true;
}

void PumpOnce()
{
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
    {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// Holds back the current answer for delayMs while still serving everything else sent to the
// thread, as a program busy in a modal loop does. A plain Sleep would also hold up the other
// windows of the thread (its Default IME window among them) and make them look slow too.
void PumpFor(DWORD delayMs)
{
    const DWORD start = GetTickCount();
    for (;;)
    {
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed >= delayMs)
            return;
        MsgWaitForMultipleObjects(0, NULL, FALSE, delayMs - elapsed, QS_ALLINPUT);
        PumpOnce();
    }
}

HWND CreateSceneWindow(const std::string &caption, DWORD delayMs)
{
    HWND hwnd = CreateWindowExA(0, kClassName, caption.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, 240, 120, NULL, NULL, GetModuleHandleA(NULL), NULL);
    if (hwnd == NULL)
    {
        std::fprintf(stdout, "error: CreateWindowExA failed (%lu)\n", GetLastError());
        std::fflush(stdout);
        ExitProcess(2);
    }
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, static_cast<LONG_PTR>(delayMs));
    return hwnd;
}

LRESULT CALLBACK SceneWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_NULL)
    {
        const DWORD delayMs = static_cast<DWORD>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (delayMs != 0)
            PumpFor(delayMs);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

DWORD WINAPI GroupThread(LPVOID param)
{
    Group &group = *static_cast<Group *>(param);
    if (group.kind == kChurn)
    {
        SetEvent(group.created);
        // Windows that come and go while a scan runs: some are listed and gone before their probe.
        std::vector<HWND> windows;
        while (WaitForSingleObject(group.release, 0) == WAIT_TIMEOUT)
        {
            for (unsigned n = 0; n < group.count; ++n)
                for (const std::string &caption : group.captions)
                    windows.push_back(CreateSceneWindow(caption, 0));
            PumpOnce();
            for (HWND hwnd : windows)
                DestroyWindow(hwnd);
            windows.clear();
            PumpOnce();
        }
        return 0;
    }

    for (unsigned n = 0; n < group.count; ++n)
        for (const std::string &caption : group.captions)
            CreateSceneWindow(caption, group.delayMs);
    SetEvent(group.created);

    if (group.kind == kFrozen || group.kind == kSuspended)
    {
        // Never ask for a message again: this is what a deadlocked program looks like.
        WaitForSingleObject(group.release, INFINITE);
        return 0;
    }
    if (group.kind == kFreezes)
    {
        while (MsgWaitForMultipleObjects(1, &freezeEvent, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0)
            PumpOnce();
        WaitForSingleObject(group.release, INFINITE);
        return 0;
    }
    if (group.kind == kSpin)
    {
        // A program lost in a computation: all of a core, no messages.
        volatile unsigned long long sum = 0;
        while (WaitForSingleObject(group.release, 0) == WAIT_TIMEOUT)
            for (unsigned i = 0; i < 10000000u; ++i)
                sum = sum + i;
        return 0;
    }
    MSG msg;
    while (GetMessageA(&msg, NULL, 0, 0) > 0)
    {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = SceneWndProc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = kClassName;
    if (!RegisterClassA(&wc))
    {
        std::printf("error: RegisterClassA failed\n");
        return 2;
    }

    std::vector<Group> groups(static_cast<size_t>(argc > 1 ? argc - 1 : 0));
    for (int i = 1; i < argc; ++i)
    {
        if (!ParseGroup(argv[i], groups[static_cast<size_t>(i - 1)]))
        {
            std::printf("error: bad group '%s'\n", argv[i]);
            return 2;
        }
    }

    HANDLE release = CreateEventA(NULL, TRUE, FALSE, NULL);
    freezeEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    for (Group &group : groups)
    {
        group.created = CreateEventA(NULL, TRUE, FALSE, NULL);
        group.release = release;
        HANDLE thread = CreateThread(NULL, 0, GroupThread, &group, 0, NULL);
        if (thread == NULL)
        {
            std::printf("error: CreateThread failed\n");
            return 2;
        }
        WaitForSingleObject(group.created, INFINITE);
        if (group.kind == kSuspended)
            SuspendThread(thread);
        CloseHandle(thread);
    }

    std::printf("ready\n");
    std::fflush(stdout);

    // Standard input closing is the signal to go; before it, only "freeze" means anything.
    char line[64];
    while (std::fgets(line, sizeof line, stdin) != NULL)
    {
        if (std::strncmp(line, "freeze", 6) == 0)
        {
            SetEvent(freezeEvent);
            std::printf("frozen\n");
            std::fflush(stdout);
        }
    }

    // Frozen threads never return; ending the process is the only way out for them.
    SetEvent(release);
    ExitProcess(0);
}
