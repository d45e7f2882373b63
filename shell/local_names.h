// File names are bytes. Qt holds them as text, decoded as UTF-8, and a name
// that is not valid UTF-8 (a Shift-JIS name from a Windows disk, a Latin-1
// name) does not survive the trip: its bytes become U+FFFD. These two
// functions keep the bytes the program works with apart from the text it
// shows.
#pragma once

#include <QString>

#include <string>

namespace zumo {

// A readable rendering of a file name or path, for showing only: UTF-8 as
// it is; otherwise Shift-JIS (CP932) when the bytes are valid in it, else
// Latin-1. Never turned back into a name.
QString ShownName(const std::string& bytes);

// A message that may name such files: its UTF-8 text as it is, every other
// byte as its Latin-1 character, so a name never garbles the words around it.
QString ShownText(const std::string& bytes);

// The bytes on disk of a path that Qt's file dialogs or URLs give as text.
// A component whose UTF-8 form does not exist is looked up among the
// entries of its folder by the text Qt makes of their names; when exactly
// one entry matches, its bytes are taken. Otherwise (no entry, or several
// names that Qt shows alike) the UTF-8 form stays, and opening it fails
// later as for any missing file.
std::string LocalPathBytes(const QString& path);

} // namespace zumo
