// SIGINT and SIGTERM as a polite request to stop: the running command-line
// or drop run ends after the file in progress, and the program then ends
// the normal way, so the settings are still written. A second signal of
// either kind, while the first is still pending, ends the program at once
// (the default action), for a run that does not get to its next file.
#pragma once

namespace zumo {

// Installs the handlers. Idempotent.
void InstallStopSignals();

// True once a stop was requested; async-signal-safe to set, cheap to poll.
bool StopRequested();

// What the handlers do, for the window and for tests.
void RequestStop();
void ClearStopRequest();

} // namespace zumo
