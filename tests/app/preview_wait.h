// The preview decodes beside the window: its picture and its message
// follow from the event loop once the worker is done.
#pragma once

#include "app/Unit1.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTest>

namespace zumo::testing {

// Runs the event loop until the worker is idle and every result it sent
// has been handled (a dropped one included); false when that took longer
// than timeout_ms.
inline bool SettlePreview(TForm1& form, int timeout_ms = 60000)
{
    const QDeadlineTimer deadline(timeout_ms);
    while ((form.PreviewPending() || form.PreviewWorking()) && !deadline.hasExpired())
        QTest::qWait(2);
    QCoreApplication::processEvents();
    return !form.PreviewPending() && !form.PreviewWorking();
}

} // namespace zumo::testing
