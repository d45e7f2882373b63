#include "app/core/Settings.h"

#include "platform/ini.h"
#include "platform/path.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <pwd.h>
#include <unistd.h>

// The way from the installed program's folder to the installed plug-ins;
// the build sets it from the install layout.
#ifndef ZUMO_PLUGIN_DIR_FROM_BIN
#define ZUMO_PLUGIN_DIR_FROM_BIN "../lib/zumo/spi"
#endif

namespace zumo {

namespace {

using platform::IniFile;
using platform::IniWriteError;

constexpr SettingKey check_box(std::string_view key, StoredControl control, bool default_checked)
{
    return {key, control, ControlKind::CheckBox, default_checked, {}, 0, {0, 0}};
}

constexpr SettingKey up_down(std::string_view key, StoredControl control, UpDownRange range)
{
    return {key, control, ControlKind::UpDown, false, {}, 0, range};
}

constexpr SettingKey radio_group(std::string_view key, StoredControl control, int item_count)
{
    return {key, control, ControlKind::RadioGroup, false, {}, item_count, {0, 0}};
}

constexpr SettingKey edit(std::string_view key, StoredControl control, std::string_view text)
{
    return {key, control, ControlKind::Edit, false, text, 0, {0, 0}};
}

using C = StoredControl;

// CheckBox6's reading default is true although the designed state is
// unchecked, so a first start shows it checked.
constexpr std::array<SettingKey, 27> k_form1_keys{
    check_box("CheckBox1.Checked", C::CheckBox1, false),
    check_box("CheckBox3.Checked", C::CheckBox3, false),
    check_box("CheckBox4.Checked", C::CheckBox4, false),
    check_box("CheckBox5.Checked", C::CheckBox5, false),
    check_box("CheckBox6.Checked", C::CheckBox6, true),
    check_box("CheckBox7.Checked", C::CheckBox7, false),
    check_box("CheckBox8.Checked", C::CheckBox7, false),
    up_down(" UpDown1.Position", C::UpDown1, k_updown1_range),
    up_down(" UpDown2.Position", C::UpDown2, k_updown2_range),
    up_down(" UpDown3.Position", C::UpDown3, k_updown3_range),
    radio_group("RadioGroup1.ItemIndex", C::RadioGroup1, 4),
    radio_group("RadioGroup2.ItemIndex", C::RadioGroup2, 3),
    radio_group("RadioGroup3.ItemIndex", C::RadioGroup3, 3),
    radio_group("RadioGroup4.ItemIndex", C::RadioGroup4, 2),
    radio_group("RadioGroup5.ItemIndex", C::RadioGroup5, 7),
    radio_group("RadioGroup6.ItemIndex", C::RadioGroup6, 2),
    radio_group("RadioGroup7.ItemIndex", C::RadioGroup7, 4),
    radio_group("RadioGroup8.ItemIndex", C::RadioGroup8, 2),
    radio_group("RadioGroup9.ItemIndex", C::RadioGroup9, 2),
    radio_group("RadioGroup10.ItemIndex", C::RadioGroup10, 3),
    edit("Edit1.Text", C::Edit1, ""),
    edit("Edit5.Text", C::Edit5, "new"),
    edit("Edit6.Text", C::Edit6, ""),
    edit("Edit7.Text", C::Edit7, "resize"),
    check_box("CheckBox9.Checked", C::CheckBox9, true),
    check_box("CheckBox10.Checked", C::CheckBox10, true),
    check_box("CheckBox11.Checked", C::CheckBox11, true),
};

constexpr std::array<std::string_view, 26> k_control_names{
    "CheckBox1",    "CheckBox3",   "CheckBox4",   "CheckBox5",   "CheckBox6",   "CheckBox7",
    "UpDown1",      "UpDown2",     "UpDown3",     "RadioGroup1", "RadioGroup2", "RadioGroup3",
    "RadioGroup4",  "RadioGroup5", "RadioGroup6", "RadioGroup7", "RadioGroup8", "RadioGroup9",
    "RadioGroup10", "Edit1",       "Edit5",       "Edit6",       "Edit7",       "CheckBox9",
    "CheckBox10",   "CheckBox11",
};

// An up-down holds a 16-bit signed position: the low 16 bits of what was
// read, then kept within Min..Max.
int up_down_position(int stored, UpDownRange range)
{
    const auto low16 = static_cast<std::int16_t>(static_cast<std::uint32_t>(stored) & 0xFFFFu);
    return std::clamp<int>(low16, range.min, range.max);
}

// Below 0 selects nothing; at or above the item count, the last item.
int radio_group_index(int stored, int item_count)
{
    if (stored < 0)
        return -1;
    return std::min(stored, item_count - 1);
}

void read_key(const IniFile& ini, const SettingKey& k, SettingsWindow& window)
{
    switch (k.kind) {
    case ControlKind::CheckBox:
        window.SetChecked(k.control, ini.ReadBool(k_form_section, k.key, k.default_checked));
        break;
    case ControlKind::UpDown: {
        const int stored = ini.ReadInteger(k_form_section, k.key, window.Position(k.control));
        window.SetPosition(k.control, up_down_position(stored, k.range));
        break;
    }
    case ControlKind::RadioGroup: {
        const int stored = ini.ReadInteger(k_form_section, k.key, window.ItemIndex(k.control));
        window.SetItemIndex(k.control, radio_group_index(stored, k.item_count));
        break;
    }
    case ControlKind::Edit:
        // A folder name may hold a line break: ReadText/WriteText keep it.
        window.SetText(k.control, ini.ReadText(k_form_section, k.key, k.default_text));
        break;
    }
}

void write_key(IniFile& ini, const SettingKey& k, const SettingsWindow& window)
{
    switch (k.kind) {
    case ControlKind::CheckBox:
        ini.WriteBool(k_form_section, k.key, window.Checked(k.control));
        break;
    case ControlKind::UpDown:
        ini.WriteInteger(k_form_section, k.key, window.Position(k.control));
        break;
    case ControlKind::RadioGroup:
        ini.WriteInteger(k_form_section, k.key, window.ItemIndex(k.control));
        break;
    case ControlKind::Edit:
        ini.WriteText(k_form_section, k.key, window.Text(k.control));
        break;
    }
}

std::string config_home(const SettingsEnvironment& env)
{
    const char sep = platform::path_separator();
    // The XDG rules ignore a relative XDG_CONFIG_HOME.
    if (!env.xdg_config_home.empty() && env.xdg_config_home.front() == sep)
        return env.xdg_config_home;
    if (env.home.empty())
        return {};
    return platform::include_trailing_separator(env.home) + ".config";
}

// Creates the missing folders of the per-user file, but only below a
// folder that may be written: a read-only mark counts even for a user
// whom the system would let through (root), as it does for the file.
void create_settings_folder(const std::string& folder)
{
    if (folder.empty())
        return;
    std::error_code error;
    std::filesystem::path existing(folder);
    while (!existing.empty() && !std::filesystem::exists(existing, error)) {
        if (existing == existing.parent_path())
            return;
        existing = existing.parent_path();
    }
    if (existing.empty() || existing.string() == folder ||
        !platform::folder_is_writable(existing.string()))
        return;
    std::filesystem::create_directories(folder, error);
}

} // namespace

std::string_view control_name(StoredControl control)
{
    return k_control_names[static_cast<std::size_t>(control)];
}

std::span<const SettingKey> form1_keys()
{
    return k_form1_keys;
}

void LoadSettings(const std::string& ini_path, SettingsWindow& window)
{
    const IniFile ini(ini_path);
    for (const SettingKey& k : k_form1_keys)
        read_key(ini, k, window);

    Placement placement = window.WindowPlacement();
    placement.Width = ini.ReadInteger(k_window_section, "Width", placement.Width);
    placement.Height = ini.ReadInteger(k_window_section, "Height", placement.Height);
    placement.Top = ini.ReadInteger(k_window_section, "Top", placement.Top);
    placement.Left = ini.ReadInteger(k_window_section, "Left", placement.Left);
    placement.Maximized = ini.ReadBool(k_window_section, "Maximized", false);
    window.SetWindowPlacement(placement);
}

SaveResult SaveSettings(const std::string& ini_path, const SettingsWindow& window)
{
    create_settings_folder(platform::folder_part(ini_path));

    IniFile ini(ini_path);
    SaveResult result;
    // Each key on its own: a value the file cannot hold (a line break
    // pasted into an edit) costs that key only, never the keys after it or
    // the placement.
    const auto attempt = [&](std::string_view key, const auto& write) {
        try {
            write();
        } catch (const IniWriteError&) {
            if (result.complete)
                result.failed_key = std::string(key);
            result.complete = false;
        }
    };
    for (const SettingKey& k : k_form1_keys)
        attempt(k.key, [&] { write_key(ini, k, window); });
    const Placement placement = window.WindowPlacement();
    attempt("Maximized",
            [&] { ini.WriteBool(k_window_section, "Maximized", placement.Maximized); });
    if (!placement.Maximized) {
        // Maximised, the normal placement of an earlier run stays.
        const std::pair<const char*, int> bounds[] = {{"Width", placement.Width},
                                                      {"Height", placement.Height},
                                                      {"Top", placement.Top},
                                                      {"Left", placement.Left}};
        // Not a structured binding: clang before 16 cannot capture one.
        for (const auto& bound : bounds)
            attempt(bound.first,
                    [&] { ini.WriteInteger(k_window_section, bound.first, bound.second); });
    }
    return result;
}

SettingsEnvironment current_settings_environment()
{
    SettingsEnvironment env;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"))
        env.xdg_config_home = xdg;
    if (const char* home = std::getenv("HOME"); home && *home) {
        env.home = home;
    } else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) {
        env.home = pw->pw_dir;
    }
    return env;
}

std::string SettingsFilePath(const std::string& executable_path, const SettingsEnvironment& env)
{
    const std::string beside = platform::change_extension(executable_path, ".ini");
    std::string folder = platform::folder_part(executable_path);
    if (folder.empty())
        folder = ".";
    if (!RunsInstalled(executable_path) && platform::folder_is_writable(folder))
        return beside;
    const std::string config = config_home(env);
    if (config.empty())
        return beside; // nowhere better: the writes will fail silently
    const char sep = platform::path_separator();
    return platform::include_trailing_separator(config) + "zumo" + sep + "zumo.ini";
}

std::string PreparePluginFolder(const std::string& executable_path)
{
    const std::string folder = platform::folder_part(executable_path) + "spi";
    if (!RunsInstalled(executable_path)) {
        std::error_code ignored;
        std::filesystem::create_directory(folder, ignored);
    }
    return folder + platform::path_separator() + "*";
}

std::string InstalledPluginFolder(const std::string& executable_path)
{
    std::string folder = platform::folder_part(executable_path);
    if (folder.empty())
        folder = ".";
    return (std::filesystem::path(folder) / ZUMO_PLUGIN_DIR_FROM_BIN).lexically_normal().string();
}

bool RunsInstalled(const std::string& executable_path)
{
    std::error_code ignored;
    return std::filesystem::is_directory(InstalledPluginFolder(executable_path), ignored);
}

} // namespace zumo
