// Writing an INI file through QSettings and knowing whether it was written.
#pragma once

class QSettings;

namespace halvern::panel {

// Syncs `settings` and tells whether the file now holds every value the object holds. QSettings
// goes on reporting the first error it met, also after later writes succeed, so once it has
// failed the file itself is read back to tell.
bool syncSettings(QSettings& settings);

} // namespace halvern::panel
