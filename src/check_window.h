// The check that the scan hands to EnumWindows for every top-level window, and the pieces of it
// that the watch shares.
#ifndef HUNGSCAN_CHECK_WINDOW_H
#define HUNGSCAN_CHECK_WINDOW_H

#include <windows.h>

#include <string>

// How long a window's thread has to answer the probe, in milliseconds.
const UINT PROBE_TIMEOUT_MS = 1000;

// Caption and executable path share one buffer; the size counts the terminating NUL.
const int TEXT_BUFFER_SIZE = 1024;

// The plain scan's enumeration callback: starts the probe of one window and writes the block of
// every window, up to this one, whose verdict is known. FinishWindowChecks, once the enumeration
// is over, waits for the rest and writes their blocks. Always returns TRUE so the enumeration
// reaches every window.
BOOL CALLBACK CheckWindowProc(HWND hwnd, LPARAM lParam);
void FinishWindowChecks();

// The probes of a scan. Every window is probed as the enumeration lists it, and the scan waits
// once for all of them: at most PROBE_TIMEOUT_MS after the last was sent.

// A scan begins: the windows of the one before that were not handed out are dropped. After a
// scan that listed every window, so are the probes still out for windows it did not list: they
// went with their windows. One that stopped part way says nothing of the windows it did not
// reach, and their probes stay.
void BeginProbes(BOOL lastScanComplete);

// Probes one window, in listing order, without waiting: one whose thread the system deems hung
// needs no message; any other is sent WM_NULL, unless the probe a scan before sent it is still
// unanswered (a frozen thread's queue gets one, however long the watch runs).
void ProbeWindow(HWND hwnd);

// Hands out the next window, in listing order, once its verdict is known: TRUE with the window
// and whether it is unresponsive (its thread did not answer for lack of an answer, the window
// still exists and its process is not one the system has frozen), the owner's process id then
// in *processId (0 when it is not known). FALSE when every window has been handed out or,
// without wait, when the next one's answer may still come; with wait, it waits for that, at
// most until the window's time is over.
BOOL NextProbedWindow(BOOL wait, HWND *hwnd, BOOL *unresponsive, DWORD *processId);

// The last scan is over: answers that come after it have no one to tell.
void ForgetProbes();

// Shows, in place, every control character of a text that came from elsewhere as '?', so that
// it can neither forge lines nor act on a terminal.
void ReplaceControlBytes(char *text);

// The caption as a report shows it, in a buffer of TEXT_BUFFER_SIZE bytes.
void ReadCaption(HWND hwnd, char *text);

// Right after a caption read that gave nothing: TRUE when the window's title is not known (its
// program froze before it ever gave it; the read failed with ERROR_NOT_FOUND), with the
// program's name, from the window's class, as a report shows it, in a buffer of
// TEXT_BUFFER_SIZE bytes. FALSE for a window whose caption is empty or could not be read.
BOOL ReadProgramName(HWND hwnd, char *text);

// What stands in a line for the caption of a window whose title is not known: "NAME (no window
// title known)", NAME its program's name.
std::string UntitledName(const std::string &program);

// The line of a report block that says which window it is: " Caption: TEXT", or, for a window
// whose title is not known, " Program: NAME (no window title known)".
std::string CaptionLine(HWND hwnd);

// What the owner lookup found.
enum OwnerLookup
{
    OWNER_PATH,       // the path is in the buffer
    OWNER_NO_PATH,    // the process opened, but would not give its path
    OWNER_NOT_OPENED, // the process could not be opened
};

// Opens the owner for its path and reads it, as a report shows it, into a buffer of
// TEXT_BUFFER_SIZE bytes.
OwnerLookup ReadOwnerPath(DWORD processId, char *text);

// A procedure of a system library the program does not import (looked up at run time, so that
// it stays out of the import table); null where the system lacks it.
FARPROC FindSystemProc(const char *module, const char *name);

// The system's text for an error code, on one line, without its full stop.
std::string SystemErrorText(DWORD error);

// Writes text, one or more whole lines, to standard output in one write and flushes it. The C
// runtime writes each piece it is handed on its own to a console, and a process ended between
// two writes (its console closed) would leave a line cut short; composed first, it is whole.
void WriteOutput(const std::string &text);

// Writes "hungscan: WHAT: REASON" on standard error, the reason being the system's text for the
// error code.
void WriteErrorLine(const char *what, DWORD error);

// Says once, on standard error, why the owners of unresponsive windows could not be named, if
// the platform gave a reason (on X11: a display whose programs are in another pid namespace).
void WriteUnnamedOwners();

// Names, on standard error, the programs the last enumeration could not probe where the system
// knows of some (a Wayland session's programs that are not on the accessibility bus); in a
// watch, again whenever they change.
void WriteBlindSpots();

// Before the wait for Enter: when the report goes to a file or a pipe while the user sits at a
// console, the screen stays blank and the run looks hung; say there, on standard error, how to
// end it.
void WriteHowToEnd();

#endif
