// Identity of the driver: its class, names and registry entries.
#pragma once

#include "halvern/platform/com_types.h"

namespace halvern {

// The driver's CLSID, which is also the interface identifier of its IASIO face.
// {4C4C95D3-DAED-4054-AFAE-0EE8A8166D91}
inline constexpr CLSID kHalvernAsioClsid = {
    0x4C4C95D3, 0xDAED, 0x4054, {0xAF, 0xAE, 0x0E, 0xE8, 0xA8, 0x16, 0x6D, 0x91}};
constexpr const char* kHalvernAsioClsidText = "{4C4C95D3-DAED-4054-AFAE-0EE8A8166D91}";

constexpr const wchar_t* kDriverObjectName = L"ASIOHALVERN";
constexpr const char* kDriverModuleName = "HalvernASIO.dll";
constexpr const char* kDriverRegistryName = "Halvern Audio"; // subkey of SOFTWARE\ASIO
constexpr const char* kDriverDescription = "Halvern Audio";
constexpr const char* kDriverName = "Halvern ASIO"; // what getDriverName reports
constexpr int kDriverVersion = 1;

} // namespace halvern
