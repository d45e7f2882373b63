// What the user is shown of file names and of system errors. Names are
// bytes; messages are UTF-8 text. A name that is not UTF-8 (a Shift-JIS name
// from a Windows disk, a Latin-1 one) is rendered on its own, so that the
// text around it stays readable, in a message box as on standard error.
#pragma once

#include <string>

namespace platform {

// A file name or path as UTF-8 text, for showing only: UTF-8 as it is;
// otherwise Shift-JIS (CP932) when the bytes are valid in it, else Latin-1.
// Never turned back into a name.
std::string shown_name(const std::string& bytes);

// Text that may hold names of any bytes, as UTF-8: valid UTF-8 stays, every
// byte outside it shows as its Latin-1 character.
std::string shown_text(const std::string& bytes);

// A short reason in Japanese for a system error number (errno), such as
// "ディスクの空きがありません" for ENOSPC; the system's own text for a number
// without one of ours.
std::string system_error_reason(int error);

} // namespace platform
