#include "convert/options.h"
#include "convert/user_host.h"

#include <gtest/gtest.h>

namespace {

using namespace zumo;

TEST(OptionSnapshotTest, FirstStartValues)
{
    const OptionSnapshot o;
    // CheckBox6 starts checked although the form shows it unchecked.
    EXPECT_TRUE(o.CheckBox6);
    EXPECT_EQ(o.RadioGroup5, 1);
    EXPECT_EQ(o.RadioGroup7, 3);
    EXPECT_EQ(o.RadioGroup9, 1);
    EXPECT_EQ(o.UpDown1, 92);
    EXPECT_EQ(o.UpDown3, 100);
    EXPECT_EQ(o.Edit7, "resize");
    EXPECT_EQ(o.Edit5, "new");
    // The mirror fields agree with the default items.
    EXPECT_EQ(turn_angle_for(o.RadioGroup7, 12345), o.TurnAngle);
    EXPECT_EQ(interlaced_for(o.RadioGroup8, true), o.Interlaced);
}

TEST(MirrorFieldsTest, FollowTheLastSelectedItem)
{
    // "９０度" and then "０　度" leaves pictures unrotated.
    EXPECT_EQ(turn_angle_for(3, turn_angle_for(0, 0)), 0);
    EXPECT_EQ(turn_angle_for(1, 0), 180);
    EXPECT_EQ(turn_angle_for(2, 0), 270);
    // No item selected: the field keeps its value.
    EXPECT_EQ(turn_angle_for(-1, 270), 270);
    EXPECT_TRUE(interlaced_for(1, false));
    EXPECT_FALSE(interlaced_for(0, true));
    EXPECT_TRUE(interlaced_for(-1, true));
}

struct PercentCase
{
    int max;
    int position;
    int percent;
};

class ProgressPercent : public ::testing::TestWithParam<PercentCase>
{
};

TEST_P(ProgressPercent, RoundsHalvesToEven)
{
    EXPECT_EQ(progress_percent(GetParam().max, GetParam().position), GetParam().percent);
}

INSTANTIATE_TEST_SUITE_P(Table, ProgressPercent,
                         testing::Values(PercentCase{4, 0, 0}, PercentCase{4, 1, 25},
                                         PercentCase{4, 3, 75}, PercentCase{4, 4, 100},
                                         // A batch of one: max 0 counts as 1 of 1.
                                         PercentCase{0, 0, 100}, PercentCase{3, 1, 33},
                                         PercentCase{3, 2, 67},
                                         // Exact halves go to the even neighbour.
                                         PercentCase{8, 1, 12}, PercentCase{8, 3, 38},
                                         PercentCase{8, 5, 62}, PercentCase{8, 7, 88},
                                         // The bar ends at its range.
                                         PercentCase{2, 5, 100}, PercentCase{2, -1, 0}));

} // namespace
