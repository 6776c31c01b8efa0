// The simulator's own I/O layer: the POSIX or the Windows one, with the same names.
#pragma once

#if defined(_WIN32)
#include "win32_io.h"
#else
#include "posix_io.h"
#endif
