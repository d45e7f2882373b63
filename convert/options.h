// The option set: one field per option control of the main window, named
// after the control, holding the value the control yields. The window fills
// a fresh snapshot for every single-file operation, so a change made while a
// batch runs applies from the next file.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace zumo {

using COLORREF = std::uint32_t; // 0x00BBGGRR

// Value ranges of the up-downs.
struct UpDownRange
{
    int min;
    int max;
};
inline constexpr UpDownRange k_updown1_range{0, 100};    // JPEG quality
inline constexpr UpDownRange k_updown2_range{0, 360};    // arbitrary angle, degrees
inline constexpr UpDownRange k_updown3_range{10, 10000}; // target height, pixels

constexpr COLORREF rgb(int r, int g, int b)
{
    return static_cast<COLORREF>(r) | (static_cast<COLORREF>(g) << 8) |
           (static_cast<COLORREF>(b) << 16);
}

// The 16 cells of ColorGrid1 (row * 8 + column): the standard colours of the
// Windows default palette.
inline constexpr std::array<COLORREF, 16> k_color_grid{
    rgb(0, 0, 0),       rgb(128, 0, 0),   rgb(0, 128, 0),   rgb(128, 128, 0),
    rgb(0, 0, 128),     rgb(128, 0, 128), rgb(0, 128, 128), rgb(192, 192, 192),
    rgb(128, 128, 128), rgb(255, 0, 0),   rgb(0, 255, 0),   rgb(255, 255, 0),
    rgb(0, 0, 255),     rgb(255, 0, 255), rgb(0, 255, 255), rgb(255, 255, 255),
};

// Target heights of RadioGroup5 items 0..5 ("1600×1200" ... "120×90").
inline constexpr std::array<int, 6> k_preset_heights{1200, 960, 480, 240, 120, 90};

// Radio groups hold the selected item's index, -1 when none is selected.
// Defaults are the values of a first start without a settings file.
struct OptionSnapshot
{
    // "ファイル変換"
    bool CheckBox1 = false; // 出力先: write into Edit1
    std::string Edit1;      // output folder, used as a plain prefix
    bool CheckBox6 = true;  // 出力ホルダ: subfolder Edit7 of the input's folder
    std::string Edit7 = "resize";
    int RadioGroup1 = 0;    // 0 BMP, 1 PNG, 2 GIF, 3 JPEG
    bool CheckBox7 = false; // リサイズする: apply RadioGroup5 items 0..5
    int RadioGroup5 = 1;    // preset height, item 6 = UpDown3
    int RadioGroup6 = 0;    // stored only; nothing reads it
    int UpDown3 = 100;      // target height for RadioGroup5 item 6
    int RadioGroup2 = 1;    // GIF conversion: 0 JPEG, 1 BMP, 2 PNG
    // "画像参照変換"
    bool CheckBox5 = false; // preview the clicked entry
    // "詳細設定"
    int UpDown1 = 92;       // JPEG quality
    int RadioGroup8 = 0;    // 0 not interlaced, 1 interlaced
    int RadioGroup9 = 1;    // end signal: 0 BEEP, 1 none
    int RadioGroup10 = 0;   // drop mode: 0 convert, 1 GIF, 2 rename
    int RadioGroup7 = 3;    // 0 90°, 1 180°, 2 270°, 3 0°
    bool CheckBox3 = false; // arbitrary rotation by UpDown2 over ColorGrid1
    int UpDown2 = 0;        // degrees
    COLORREF ColorGrid1 = k_color_grid[0];
    bool CheckBox9 = true;  // EXIFの向きに合わせる: turn photos upright on load
    bool CheckBox10 = true; // メタデータを残す: carry EXIF, XMP, IPTC, ICC, resolution
    bool CheckBox11 = true; // すべてのCPUコアを使う: batches convert files side by side
    // "ファイルリネーム"
    bool CheckBox8 = false; // 出力先: into Edit8
    std::string Edit8;
    bool CheckBox2 = false;    // into the subfolder "rename"
    int RadioGroup3 = 0;       // 0 leading string, 1 extension, 2 both
    bool CheckBox4 = false;    // overwrite existing targets
    std::string Edit5 = "new"; // leading string
    std::string Edit6;         // new extension
    int RadioGroup4 = 0;       // 0 copy, 1 move
    // Mirror fields of TForm1, kept equal to what RadioGroup7 and
    // RadioGroup8 give.
    int TurnAngle = 0;
    bool Interlaced = false;
};

// What the mirror fields become for a selected item (-1 or out of range: the
// field keeps its value, as a handler that runs for no item would).
int turn_angle_for(int radio_group7_index, int current);
bool interlaced_for(int radio_group8_index, bool current);

// The window (or a test) hands out a fresh snapshot on every call.
class OptionSource
{
public:
    virtual ~OptionSource() = default;
    virtual OptionSnapshot Options() = 0;
};

} // namespace zumo
