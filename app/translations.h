// Qt's own texts in the window's language: the buttons and captions of the
// file and folder dialogs, the standard buttons of message boxes and the
// context menus of the edit boxes come from Qt, in English unless its
// Japanese catalogue is loaded.
#pragma once

#include <QTranslator>

#include <memory>

namespace zumo {

// Loads Qt's Japanese catalogue ("qtbase_ja.qm", from Debian's
// qt6-translations-l10n) from Qt's translations folder, or from the
// "translations" folder beside the executable, and installs it in the
// application. Returns the installed translator (keep it while the
// application lives), or null when no catalogue was found: Qt then speaks
// English.
std::unique_ptr<QTranslator> InstallQtTranslations();

} // namespace zumo
