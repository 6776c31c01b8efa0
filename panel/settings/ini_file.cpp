#include "settings/ini_file.h"

#include <QSettings>

namespace halvern::panel {

bool syncSettings(QSettings& settings) {
    settings.sync();
    if (settings.status() == QSettings::NoError)
        return true;
    const QSettings file(settings.fileName(), settings.format());
    if (file.status() != QSettings::NoError)
        return false;
    for (const QString& key : settings.allKeys())
        if (!file.contains(key) || file.value(key).toString() != settings.value(key).toString())
            return false;
    return true;
}

} // namespace halvern::panel
