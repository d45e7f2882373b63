// GoogleTest with one QApplication for every test. Without a display the
// xcb platform would abort, so the tests run offscreen unless told
// otherwise.
#include "platform/beep.h"

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // A stray beep must never reach the terminal from a test.
    platform::set_beep_handler([] {});
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
