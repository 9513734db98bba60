// The scan with --why or --json: the same probe and owner lookup as the plain report, each block
// closed by the verdict on its window's thread, or records instead of the report.
#ifndef HUNGSCAN_SCAN_OPTIONS_H
#define HUNGSCAN_SCAN_OPTIONS_H

#include <windows.h>

// Runs the scan; returns the exit status. With json, no banner, trailer or wait for Enter.
int ScanWithOptions(BOOL why, BOOL json);

#endif
