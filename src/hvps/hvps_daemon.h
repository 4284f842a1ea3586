// The life of the hvpsd process. hv_service_main parses the command line, checks the run
// environment, puts the server into the background (the launching process waits on a pipe until the
// start-up has succeeded), redirects output to the log file and writes the banner, the pid file and
// the shutdown line. HVPSDaemonStartup brings the subsystems up in a fixed order and installs the
// signal handlers, HVPSDaemonRun is the main thread's one-second loop until a stop signal, and
// HVPSDaemonShutdown takes everything down again. All of it runs on the main thread, which is also
// the thread that acts on stop signals.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <ctime>

#include "CSObject.h"
#include "CSThread.h"
#include "hvps_version.h"

// The server's version as the banner, `-v` and the Server header show it.
inline constexpr const char* HVPS_VERSION = HVPS_VERSION_TEXT;

// The whole life of the process; returns the exit status. `status`, when given, is called with 0
// when the function begins and with 1 once the server has started, the pid file is written and the
// launcher has been told.
int hv_service_main(int argc, char* argv[], void (*status)(short) = nullptr);

// True when the server is up. `trace` is not used: tracing follows the trace-on parameter.
bool HVPSDaemonStartup(const char* configFile, bool trace, const char* mimeTypesFile);
// Returns after a stop signal, once the server has shut down.
void HVPSDaemonRun();
void HVPSDaemonShutdown();

// Signal handlers. hangup_signal logs the signal and ignores it; shutdown_signal asks the main loop
// to stop (relaying the signal to the signal-handler thread when it arrives on another thread).
// Both are async-signal-safe: the log line is formatted without stdio or allocation and written
// with write(2).
void hangup_signal(int sig);
void shutdown_signal(int sig);

// The main thread's object (no name, no list) from start-up to shutdown.
extern CSRef<CSThread> hvps_main_thread;
// The thread that acts on stop signals: the main thread, once the handlers are installed.
extern pthread_t hvps_signal_handler;
// Set once the start-up has succeeded.
extern bool hvps_started;

// Writes the log timestamp ("%y%m%d %H:%M:%S", local time) of `now` into `out` (at least 16 bytes)
// using only arithmetic; `utcOffset` is the local zone's offset east of UTC in seconds. Returns the
// length (15). Safe in a signal handler.
size_t hvps_format_log_time(char* out, time_t now, long utcOffset);
