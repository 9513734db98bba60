// Inside the scripted platform: its clock and console, which play a scenario's time and the
// user's stops, shared by the window calls.
#ifndef HUNGSCAN_SCRIPTED_CONSOLE_H
#define HUNGSCAN_SCRIPTED_CONSOLE_H

#include "scenario.h"

#include <functional>
#include <string>

namespace scripted {

// Milliseconds since the scenario started.
ULONGLONG ScriptedClock();
void AdvanceScriptedClock(ULONGLONG ms);

// A fresh clock, no events, handlers or input thread, and the scenario's stops to come.
void ResetConsole(const Scenario &scenario);

// Work the system does on a thread of its own, such as an asynchronous call's callback: run
// when the program next waits (or sleeps) and the clock has reached its moment, never inside
// another call of the program's.
void RunAt(ULONGLONG atMs, std::function<void()> work);

// Whether the user has closed the console.
bool ConsoleClosed();

// Closes an event or thread handle; false for any other handle.
bool CloseConsoleHandle(HANDLE handle);

} // namespace scripted

#endif
