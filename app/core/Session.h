// What the program learns about its surroundings before Qt starts: whether
// the X server that DISPLAY names answers, and a runtime folder of its own
// when the session gives none.
#pragma once

#include <string>

namespace zumo {

// Whether the X server that DISPLAY names accepts a connection. libxcb is
// loaded at run time, so the program starts on machines without it; when it
// cannot be loaded the answer is yes (Qt then has its say).
bool x_server_answers();

// XDG_RUNTIME_DIR for this process when the session sets none (a cron job,
// su, a container): a fresh folder only the user can enter, removed again
// when this object goes. Qt would otherwise pick one under /tmp itself and
// say so on standard error in every run. Does nothing when the variable is
// set or no folder can be made.
class PrivateRuntimeFolder
{
public:
    PrivateRuntimeFolder();
    ~PrivateRuntimeFolder();
    PrivateRuntimeFolder(const PrivateRuntimeFolder&) = delete;
    PrivateRuntimeFolder& operator=(const PrivateRuntimeFolder&) = delete;

    const std::string& path() const { return m_path; } // "" when none was made

private:
    std::string m_path;
};

} // namespace zumo
