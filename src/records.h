// JSON Lines for scripts and log collectors: one object per line, UTF-8, each written whole and
// flushed. Text goes out as the window has it, read with the wide calls, not as the ANSI code
// page can show it.
#ifndef HUNGSCAN_RECORDS_H
#define HUNGSCAN_RECORDS_H

#include "why.h"

#include <windows.h>

#include <string>

// A JSON string, quoted; every control character escaped, so no record can act on a terminal.
std::string JsonString(const std::string &utf8);

// The scan's time as records give it: UTC, ISO 8601 with milliseconds and Z.
std::string RecordTime();

// This machine's name, for every record.
const std::string &RecordHost();

// Wide text as UTF-8; length in characters.
std::string Utf8(const WCHAR *text, int length);

// The window's caption as UTF-8, read the wide way, as the window has it. Where no title of the
// window is known (not an empty one: none), the caption stays empty, its program's name goes
// to *program, and the result is TRUE.
BOOL ReadCaptionUtf8(HWND hwnd, std::string *caption, std::string *program);

// The owner's path as UTF-8, read the wide way: FALSE when the process cannot be opened; an
// empty path when it opened but gave none.
BOOL ReadOwnerPathUtf8(DWORD processId, std::string *path);

// What a record says of an unresponsive window and its owner, read when it is found: "host",
// "window", "caption", "pid", "tid", "path", "error", without braces.
std::string WindowFields(HWND hwnd, DWORD processId, DWORD threadId);

// What it says of the verdict on its thread: "why", "cpu", "waits_for", "wait".
std::string VerdictFields(const ThreadVerdict &verdict);

// Writes one record: {"event":EVENT,"time":TIME,FIELDS}.
void WriteRecord(const char *event, const std::string &time, const std::string &fields);

// Whether standard output still takes what is written to it: FALSE from the first write that
// failed on, whose reason is kept. Call it after writing.
BOOL ReportWritable();

// Says on standard error, once, that the report could not be written, and why.
void WriteReportFailure();

#endif
