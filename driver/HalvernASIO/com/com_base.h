// The small COM base every object of this server is built on: object counting for
// DllCanUnloadNow, and an IUnknown that can be aggregated.
#pragma once

#include "halvern/platform/com_types.h"

#include <atomic>
#include <cstdint>

namespace halvern::com {

// Module counts, one each per loaded library.
int32_t activeObjectCount();
int32_t serverLockCount();
void lockServer(bool lock);

// Root of every COM object here: counts the live objects of the module.
class CBaseObject {
public:
    explicit CBaseObject(const wchar_t* debugName);
    virtual ~CBaseObject();
    CBaseObject(const CBaseObject&) = delete;
    CBaseObject& operator=(const CBaseObject&) = delete;
};

// The inner IUnknown of an aggregatable object. Same slot order as IUnknown, so an outer object
// can hold it as one.
struct INonDelegatingUnknown {
    virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
public:
    // `outer` is the aggregating object, or null when the object stands alone.
    CUnknown(const wchar_t* debugName, IUnknown* outer);
    ~CUnknown() override;

    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
    ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

    // What the object's public IUnknown faces forward to: the aggregating object, or the object
    // itself when it stands alone.
    HRESULT ownerQueryInterface(REFIID riid, void** ppv);
    ULONG ownerAddRef();
    ULONG ownerRelease();
    bool aggregated() const { return outer_ != nullptr; }

protected:
    // Hands out `face` with a reference, as every QueryInterface answer must.
    HRESULT getInterface(IUnknown* face, void** ppv);

private:
    IUnknown* outer_; // null when not aggregated
    std::atomic<int32_t> refCount_{0};
};

} // namespace halvern::com
