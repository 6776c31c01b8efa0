// POSIX only: where the simulated bus devices and the named pipes live.
#pragma once

#include <string>

namespace halvern::platform {

// $HALVERN_RUNTIME_DIR, else $XDG_RUNTIME_DIR/halvern, else /tmp/halvern-<uid>; created with
// mode 0700 (with its bus/ and pipe/ folders) on first use.
std::string runtimeDir();
std::string busDirectory();  // <runtime>/bus
std::string pipeDirectory(); // <runtime>/pipe

} // namespace halvern::platform
