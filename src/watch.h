// The watch: the scan repeated at an interval, reporting each change as it happens.
#ifndef HUNGSCAN_WATCH_H
#define HUNGSCAN_WATCH_H

#include <windows.h>

const UINT WATCH_DEFAULT_SECONDS = 2;
const UINT WATCH_MAX_SECONDS = 3600;

// Scans every intervalSeconds until Enter, Ctrl+C or Ctrl+Break; writes a line whenever a window
// stops answering, answers again or is destroyed while it does not answer, then one for each
// window still not answering. Returns the exit status: 1 when the last scan could not list the
// windows, the output could no longer be written or the console closed, else 0.
// With why, each "Unresponsive:" line ends with the verdict on the window's thread; with json,
// records take the place of the lines.
// With log, each event goes to the system log too; a log that cannot be opened is said on
// standard error and nothing is watched, and one that refuses an event ends the watch.
int WatchWindows(UINT intervalSeconds, BOOL why, BOOL json, BOOL log);

#endif
