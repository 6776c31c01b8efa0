#include "com/server.h"

#include "com/class_factory.h"
#include "com/registration.h"
#include "driver_ids.h"

#include <cstdio>
#include <new>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace halvern::com {

namespace {

ServerRegistration driverRegistration() {
    return ServerRegistration{&kHalvernAsioClsid, kDriverModuleName, kDriverRegistryName,
                              kDriverDescription, "Apartment"};
}

void showFailure(const char* text, const char* caption) {
#if defined(_WIN32)
    MessageBoxA(nullptr, text, caption, MB_OK);
#else
    std::fprintf(stderr, "%s: %s\n", caption, text);
#endif
}

} // namespace

HRESULT getClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_IClassFactory))
        return E_NOINTERFACE;
    const FactoryTemplate* entry = findFactoryTemplate(clsid);
    if (entry == nullptr)
        return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new (std::nothrow) CClassFactory(entry);
    if (factory == nullptr) {
        *ppv = nullptr;
        return E_OUTOFMEMORY;
    }
    *ppv = static_cast<IClassFactory*>(factory);
    factory->AddRef();
    return S_OK;
}

HRESULT canUnloadNow() {
    // Live factories do not hold the module; only objects and server locks do.
    return (serverLockCount() > 0 || activeObjectCount() != 0) ? S_FALSE : S_OK;
}

HRESULT registerServer() {
    long rc = registerDriver(driverRegistration());
    if (rc != 0) {
        char text[64];
        std::snprintf(text, sizeof text, "Register Server failed ! (%ld)", rc);
        showFailure(text, "Halvern Audio Driver");
        return -1;
    }
    return S_OK;
}

HRESULT unregisterServer() {
    long rc = unregisterDriver(driverRegistration());
    if (rc != 0) {
        char text[64];
        std::snprintf(text, sizeof text, "Unregister Server failed ! (%ld)", rc);
        showFailure(text, "ASIO  I/O Driver");
        return -1;
    }
    return S_OK;
}

} // namespace halvern::com
