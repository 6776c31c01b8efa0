// The library's five exports. Everything else in the library stays hidden.
#include "com/server.h"

#if defined(_WIN32)
#define HALVERN_EXPORT
#else
#define HALVERN_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

HALVERN_EXPORT BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}

HALVERN_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    return halvern::com::getClassObject(rclsid, riid, ppv);
}

HALVERN_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return halvern::com::canUnloadNow();
}

HALVERN_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer() {
    return halvern::com::registerServer();
}

HALVERN_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer() {
    return halvern::com::unregisterServer();
}

} // extern "C"
