// zumo --dry-run FILE...: what a command-line run over the files would do,
// one line per file, without changing anything on disk.
#pragma once

#include "convert/options.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace zumo {

// The options a command-line run would use: the window's designed values
// with the settings file read over them as FormCreate reads it (TurnAngle
// and Interlaced follow RadioGroup7 and RadioGroup8). A missing file gives
// the designed values.
OptionSnapshot StoredOptions(const std::string& ini_path);

// Goes through files as the command-line run does (drop mode, lower-casing
// rule, a non-GIF stopping GIF mode) and writes to out, per file, what the
// real run would do:
//   convert SOURCE -> OUTPUT        picture conversion (mode 0)
//   gif SOURCE -> OUTPUT            GIF conversion (mode 1)
//   copy SOURCE -> TARGET           rename by copying (mode 2)
//   move SOURCE -> TARGET           rename by moving
//   ... SOURCE: would fail: WHY     or: would be skipped: WHY
// Each file sees the files the earlier ones would have made or moved away,
// so numbers count on as they would. Questions take the answer a run
// without a display takes (the one that skips the file). Nothing is
// written: no output, no folder, no settings file, no journal. Returns the
// exit status the real run without a display would end with (0, 1 or 2).
int DryRun(const std::vector<std::string>& files, const OptionSnapshot& options, std::ostream& out);

} // namespace zumo
