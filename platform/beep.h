// The system's default beep (MessageBeep with 0 on Windows). The end signal
// of a batch and the failure of a conversion sound it. A user interface
// installs its own sound (Qt's QApplication::beep); without one, POSIX
// rings the terminal bell on standard error when that is a terminal.
#pragma once

#include <functional>

namespace platform {

void MessageBeep();

// Replaces the sound MessageBeep makes; an empty function restores the
// default. Returns the handler that was installed before.
std::function<void()> set_beep_handler(std::function<void()> handler);

} // namespace platform
