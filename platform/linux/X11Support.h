// Xlib helpers shared by the video sinks: a process-wide error handler that records errors on
// the sinks' own display connections instead of ending the process.
#pragma once

#include <X11/Xlib.h>

namespace velmor {

// Opens a display connection (XOpenDisplay(nullptr)) whose protocol errors are recorded rather
// than fatal. Null when there is no display.
Display* OpenSinkDisplay();
// Closes a connection opened by OpenSinkDisplay.
void CloseSinkDisplay(Display* display);

// Forgets earlier errors of this connection.
void ClearX11Error(Display* display);
// Syncs with the server and returns the first error code recorded since the last clear (0 = none).
int TakeX11Error(Display* display);

}  // namespace velmor
