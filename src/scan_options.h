// The scan with --why, --json or --log: the same probe and owner lookup as the plain report, each block
// closed by the verdict on its window's thread, or records instead of the report.
#ifndef HUNGSCAN_SCAN_OPTIONS_H
#define HUNGSCAN_SCAN_OPTIONS_H

#include <windows.h>

// Runs the scan; returns the exit status. With json, no banner, trailer or wait for Enter. With
// log, each window found not answering is also an event in the system log; a log that cannot
// be opened is said on standard error, and nothing is scanned.
int ScanWithOptions(BOOL why, BOOL json, BOOL log);

#endif
