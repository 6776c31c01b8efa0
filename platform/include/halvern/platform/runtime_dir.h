// POSIX only: where the simulated bus devices and the named pipes live.
#pragma once

#include <string>

namespace halvern::platform {

// $HALVERN_RUNTIME_DIR, else $XDG_RUNTIME_DIR/halvern, else /tmp/halvern-<uid>; created with
// mode 0700 (with its bus/ and pipe/ folders) on first use. Each folder must be a real folder
// of this user; one that others may reach is closed to mode 0700. A folder that fails the check
// is not used: the path returned is then one where nothing can be created, so every open fails.
std::string runtimeDir();
std::string busDirectory();  // <runtime>/bus
std::string pipeDirectory(); // <runtime>/pipe

// Creates `path` (and missing parents) with mode 0700; true when it is then a private folder
// of this user as above.
bool makePrivateFolder(const std::string& path);

} // namespace halvern::platform
