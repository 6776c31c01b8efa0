// What the exported entry points of the driver library do. The library's exports are one-line
// calls into these, so tests reach the same code without loading the library.
#pragma once

#include "halvern/platform/com_types.h"

namespace halvern::com {

HRESULT getClassObject(REFCLSID clsid, REFIID riid, void** ppv);
HRESULT canUnloadNow();
// 0 on success, -1 after telling the user why (message box; standard error off Windows).
HRESULT registerServer();
HRESULT unregisterServer();

} // namespace halvern::com
