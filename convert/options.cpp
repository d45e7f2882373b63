#include "convert/options.h"

#include <array>

namespace zumo {

int turn_angle_for(int radio_group7_index, int current)
{
    // Items "９０度", "１８０度", "２７０度", "０　度".
    static constexpr std::array<int, 4> k_angles{90, 180, 270, 0};
    if (radio_group7_index < 0 || radio_group7_index >= static_cast<int>(k_angles.size()))
        return current;
    return k_angles[static_cast<std::size_t>(radio_group7_index)];
}

bool interlaced_for(int radio_group8_index, bool current)
{
    // Items "インターレースなし", "インターレースあり".
    switch (radio_group8_index) {
    case 0:
        return false;
    case 1:
        return true;
    default:
        return current;
    }
}

} // namespace zumo
