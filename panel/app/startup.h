// The start-up steps of HalvernMixer that are not object wiring: the single-instance check,
// the translation choice and the screenshots of a headless run.
#pragma once

#include <QString>

class QCoreApplication;
class QSharedMemory;
class QSystemSemaphore;
class QTranslator;
class MainWindow;
class Settings;
class TrayIcon;

namespace halvern::panel {

enum class InstanceCheck { First, AlreadyRunning, Failed };

// Attaches to or creates the 1-byte segment that marks the running instance, under the
// system semaphore. On Linux a segment left by a crashed instance is cleared first.
InstanceCheck checkSingleInstance(QSystemSemaphore& semaphore, QSharedMemory& segment);

// The translation code for a system locale name ("zh_TW" gives "zh_CN"; unknown names "en_US").
QString translationCodeFor(const QString& localeName);

// Loads HalvernDriver_<code>.qm from `directory` for `localeName` (falling back to en_US) and
// installs it; false when no file loaded and the program runs untranslated.
bool installTranslation(QCoreApplication& app, QTranslator& translator, const QString& localeName,
                        const QString& directory);

// When $HALVERN_MIXER_SNAPSHOT names a folder, writes main-window.png, settings.png and
// tray-menu.png into it once the window shows a page (or after 15 s), for headless runs.
void scheduleSnapshots(MainWindow* window, Settings* settings, TrayIcon* tray);

} // namespace halvern::panel
