// The settings file of the main window: which controls are stored under
// which keys with which reading defaults (one table), how they are read
// into the window at creation and written back at destruction, and where
// the file lives.
//
// The file is read once (LoadSettings, from FormCreate) and written once
// (SaveSettings, from FormDestroy). Reading never reports anything: a
// missing file, section or key, or a value that is not a number, gives the
// key's default. Writing stops silently at the first key that cannot be
// written; the keys before it are in the file, and the file is never left
// truncated (platform/ini.h replaces it atomically on every write).
#pragma once

#include "convert/options.h"

#include <span>
#include <string>
#include <string_view>

namespace zumo {

// The controls whose values the settings file keeps. CheckBox8, CheckBox2,
// Edit8 and the colour grid are not stored: they start from their designed
// values at every start.
enum class StoredControl {
    CheckBox1,
    CheckBox3,
    CheckBox4,
    CheckBox5,
    CheckBox6,
    CheckBox7,
    UpDown1,
    UpDown2,
    UpDown3,
    RadioGroup1,
    RadioGroup2,
    RadioGroup3,
    RadioGroup4,
    RadioGroup5,
    RadioGroup6,
    RadioGroup7,
    RadioGroup8,
    RadioGroup9,
    RadioGroup10,
    Edit1,
    Edit5,
    Edit6,
    Edit7,
    CheckBox9,
    CheckBox10,
    CheckBox11,
};

// The control's own name ("CheckBox1", "UpDown3", ...).
std::string_view control_name(StoredControl control);

enum class ControlKind { CheckBox, UpDown, RadioGroup, Edit };

// One key of section "Form1". The reading default of a check box is
// default_checked, of an edit default_text; an up-down or a radio group
// keeps the control's current value when its key is missing.
struct SettingKey
{
    std::string_view key;  // exactly as in the file, leading blank included
    StoredControl control; // read into and written from this control
    ControlKind kind;
    bool default_checked;
    std::string_view default_text;
    int item_count;    // radio groups: number of items
    UpDownRange range; // up-downs: Min..Max
};

inline constexpr std::string_view k_form_section = "Form1";
inline constexpr std::string_view k_window_section = "Window";

// The 27 keys of "Form1" in the order they are read and written. Key 7,
// "CheckBox8.Checked", carries CheckBox7 again and is read after key 6.
// Keys 25 to 27 came later; a file without them reads them as checked.
std::span<const SettingKey> form1_keys();

// The window's placement in its normal state (outer frame, screen pixels)
// and whether it is maximised.
struct Placement
{
    int Width = 0;
    int Height = 0;
    int Top = 0;
    int Left = 0;
    bool Maximized = false;
};

// What the settings need of the main window. The window implements it over
// its controls; tests fake it.
class SettingsWindow
{
public:
    virtual ~SettingsWindow() = default;

    virtual bool Checked(StoredControl check_box) const = 0;
    // As a user's change: when the state changes, the check box's click
    // handler runs (CheckBox1Click for CheckBox1).
    virtual void SetChecked(StoredControl check_box, bool checked) = 0;

    virtual int Position(StoredControl up_down) const = 0;
    // position is already within the up-down's range.
    virtual void SetPosition(StoredControl up_down, int position) = 0;

    virtual int ItemIndex(StoredControl radio_group) const = 0;
    // index is -1 (no item) or a valid item. When a different item becomes
    // selected the group's click handler runs (RadioGroup7Click sets
    // TurnAngle, RadioGroup8Click Interlaced); clearing runs nothing.
    virtual void SetItemIndex(StoredControl radio_group, int index) = 0;

    virtual std::string Text(StoredControl edit) const = 0;
    virtual void SetText(StoredControl edit, const std::string& text) = 0;

    // Normal-state bounds; Maximized tells the present state. While the
    // window is maximised the bounds are those it returns to.
    virtual Placement WindowPlacement() const = 0;
    // Sets the normal-state bounds (width, height, top, left) and, when
    // placement.Maximized, then maximises the window; the bounds stay those
    // it returns to when restored.
    virtual void SetWindowPlacement(const Placement& placement) = 0;
};

// FormCreate steps 4 to 6: reads "Form1" in table order into the window,
// then "Width", "Height", "Top", "Left" and "Maximized" of "Window".
void LoadSettings(const std::string& ini_path, SettingsWindow& window);

struct SaveResult
{
    bool complete = true;
    std::string failed_key; // the first key that could not be written
};

// FormDestroy steps 1 to 4: writes "Form1" in table order, then "Window":
// only "Maximized" = 1 when the window is maximised (so the normal placement
// of an earlier run stays), otherwise "Maximized" = 0 and the four bounds.
// A key that cannot be written is skipped; the others are written all the
// same. Creates the file's folder
// when it is missing (the per-user configuration folder).
SaveResult SaveSettings(const std::string& ini_path, const SettingsWindow& window);

// Environment the file's place depends on; empty when unset.
struct SettingsEnvironment
{
    std::string xdg_config_home;
    std::string home;
};
SettingsEnvironment current_settings_environment();

// The executable's path with its extension replaced by ".ini" (appended when
// it has none). When the executable's folder cannot be written, or the
// program runs from an installation (RunsInstalled: its folder is a shared
// one such as /usr/bin even for root): $XDG_CONFIG_HOME/zumo/zumo.ini, with
// ~/.config/zumo/zumo.ini when XDG_CONFIG_HOME is unset or not absolute.
std::string SettingsFilePath(const std::string& executable_path,
                             const SettingsEnvironment& env = current_settings_environment());

// FormCreate step 2 and 3's pattern: the folder "spi" beside the executable
// is created when missing (one level; a failure is not reported; never for
// an installed program, whose folder is shared) and the search pattern
// "<folder of executable>spi<separator>*" is returned, the value WorkPath
// takes before SearchSPI.
std::string PreparePluginFolder(const std::string& executable_path);

// The plug-in folder of an installation, "<prefix>/lib/zumo/spi" for an
// executable in "<prefix>/bin" (the way from the one to the other is fixed
// when the program is built, so an installation can be moved as a whole),
// without a trailing separator. It is searched after the "spi" folder.
std::string InstalledPluginFolder(const std::string& executable_path);

// True when the executable runs from an installation: the installed plug-in
// folder exists. A build tree keeps its plug-ins in "spi" beside the
// executable and has none.
bool RunsInstalled(const std::string& executable_path);

} // namespace zumo
