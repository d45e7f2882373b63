// The native helper's guard over what its plug-in starts. A plug-in may
// fork, start a session of its own (setsid) or leave a daemon behind; none
// of them may outlive the helper, which may in turn not outlive the program.
//
// The helper process the program started becomes a supervisor: a child
// subreaper, so that every orphan below it is re-parented to it rather than
// to init, that serves nothing itself and so never hangs. The plug-in is
// served by a forked child. When that child ends, when the program asks the
// helper to stop (SIGTERM) and when the program dies (the parent-death
// signal is SIGTERM), the supervisor kills every process below it, reaps
// them and ends the way the serving child ended.
#pragma once

#include <functional>
#include <initializer_list>

namespace zumo::spihost {

// Runs serve in a forked child under this process as supervisor and
// returns in the child with serve's result; the supervisor never returns
// (it exits, or ends by the signal that ended the child). It closes
// channel_fds, so that only the child holds the program's pipes. Where the
// system offers no subreaper, serve runs in this process.
int run_supervised(const std::function<int()>& serve, std::initializer_list<int> channel_fds);

// Kills every process below this one and reaps them, until none is left or
// a few seconds have passed. Exposed for the helper's own end.
void end_descendants();

} // namespace zumo::spihost
