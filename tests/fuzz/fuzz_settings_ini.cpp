// The settings dialog's "setting.ini" as a text editor may leave it: any bytes, unknown or
// repeated keys, texts that are no item of their list. Loading selects only items the dialog
// offers and leaves every other selection as it was.
#include "fuzz_qt.h"

#include "settings/settings.h"

#include <QComboBox>
#include <QDir>
#include <QStandardPaths>

using namespace halvern;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Settings* dialog = [] {
        fuzz::qtApp();
        return new Settings;
    }();
    static const QString path =
        QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/setting.ini";
    const std::vector<uint8_t> file(data, data + size);
    const QList<QComboBox*> combos = dialog->findChildren<QComboBox*>();
    QStringList before;
    for (QComboBox* c : combos)
        before << c->currentText();

    fuzz::replaceIniFile(path, file);
    // No device: each handler a changed selection runs stops at its first request.
    dialog->loadSettings();

    // A stored text that is no item of its list leaves that selection alone.
    static const std::pair<const char*, const char*> kKeys[] = {
        {"bufferSizeCombo", "Audio/BufferSize"},
        {"latencyCombo", "USB/LatencySize"},
        {"sampleRateCombo", "Audio/SampleRate"},
        {"safeModeCombo", "USB/SlowMode"}};
    QSettings stored(path, QSettings::IniFormat);
    for (int i = 0; i < combos.size(); ++i) {
        QComboBox* c = combos[i];
        FUZZ_CHECK(c->findText(c->currentText()) >= 0);
        for (const auto& [name, key] : kKeys)
            if (c->objectName() == name && stored.contains(key) &&
                c->findText(stored.value(key).toString()) < 0)
                FUZZ_CHECK(c->currentText() == before[i]);
    }
    return 0;
}
