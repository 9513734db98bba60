// The check that the scan hands to EnumWindows for every top-level window.
#ifndef HUNGSCAN_CHECK_WINDOW_H
#define HUNGSCAN_CHECK_WINDOW_H

#include <windows.h>

// How long a window's thread has to answer the probe, in milliseconds.
const UINT PROBE_TIMEOUT_MS = 1000;

// Caption and executable path share one buffer; the size counts the terminating NUL.
const int TEXT_BUFFER_SIZE = 1024;

// Probes one window and reports it on standard output if its thread does not answer.
// Always returns TRUE so the enumeration reaches every window.
BOOL CALLBACK CheckWindowProc(HWND hwnd, LPARAM lParam);

#endif
