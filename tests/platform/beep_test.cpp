#include "platform/beep.h"

#include <gtest/gtest.h>

namespace {

TEST(MessageBeep, SoundsThroughTheInstalledHandlerAndRestoresThePrevious)
{
    int first = 0;
    int second = 0;
    const auto before = platform::set_beep_handler([&first] { ++first; });
    platform::MessageBeep();
    EXPECT_EQ(first, 1);

    auto replaced = platform::set_beep_handler([&second] { ++second; });
    platform::MessageBeep();
    platform::MessageBeep();
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 2);

    // Handing back what set_beep_handler returned puts the earlier sound back.
    platform::set_beep_handler(std::move(replaced));
    platform::MessageBeep();
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 2);

    platform::set_beep_handler(before);
}

} // namespace
