#pragma once

// A session that ends (logoff, shutdown, a terminal closed, Ctrl-C) ends the
// program the way its close box would: every window is closed and so unloads
// normally (the main window stores its port and releases the serial port),
// then the event loop ends.
namespace platform {

// Call once the QApplication exists. On POSIX systems SIGTERM, SIGHUP and SIGINT
// end the session; the first one is handled so, and a second one of any of them
// does what it did before (by default: ends the process at once). On Windows,
// logoff and shutdown reach the program as a quit that closes no window; that
// quit closes them.
void CloseWindowsWhenSessionEnds();

} // namespace platform
