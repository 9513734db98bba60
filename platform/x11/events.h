// The event thread: a second connection that only listens, so every answer to a ping is stamped
// with the moment it arrives, whatever the main thread is doing meanwhile.
#ifndef HUNGSCAN_X11_EVENTS_H
#define HUNGSCAN_X11_EVENTS_H

#include <X11/Xlib.h>

namespace hungscan_x11 {

// Starts the thread, which opens both connections and keeps the listening one to itself; gives
// back the main one. False when it could not, or did not within timeoutMs (a server that
// accepts connections but does not answer).
bool OpenConnections(Display **main, int timeoutMs);

} // namespace hungscan_x11

#endif
