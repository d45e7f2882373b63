// The drop run: files dropped on the main window, handed one by one to the
// operation of the drop mode (RadioGroup10) under a progress dialog, inside
// the open window, which stays open afterwards.
#pragma once

#include "app/core/FileRuns.h"

#include <string>
#include <vector>

namespace zumo {

// WMDropFiles, given the dropped paths in the order the drop delivered them
// (local files of a Qt drop's text/uri-list; names are used exactly as
// delivered, without a change of case and without the 1023-byte cut of
// the Win32 drop buffer).
//
// Before file k of n (from 1) the bar shows (k-1)/(n-1), so a single file
// shows 100 %. Mode 0 hands only types 0 to 3 to ConvertImageFile and skips
// the others silently; mode 1 hands every file to ConvertGifFile; mode 2
// every file to FormFileRe; no mode selected does nothing with them. After
// the last file the dialog is released, the files FormFileRe did not rename
// are named in one message (RenameFailuresMessage; also after a cancel),
// and the end signal given. A cancel,
// or a stop request, ends the run before the next file without the end
// signal. The window processes its messages between files, so a drop during
// the run starts a nested WMDropFiles that ends before this one goes on.
RunSummary WMDropFiles(const std::vector<std::string>& files, RunContext& ctx);

} // namespace zumo
