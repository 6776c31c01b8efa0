#include "com/com_base.h"

namespace halvern::com {

namespace {
std::atomic<int32_t> gActiveObjects{0};
// Plain counter in the original design; atomic here so that a host locking the server from
// two threads cannot lose an update.
std::atomic<int32_t> gServerLocks{0};
} // namespace

int32_t activeObjectCount() {
    return gActiveObjects.load();
}
int32_t serverLockCount() {
    return gServerLocks.load();
}
void lockServer(bool lock) {
    if (lock)
        ++gServerLocks;
    else
        --gServerLocks;
}

CBaseObject::CBaseObject(const wchar_t* /*debugName*/) {
    ++gActiveObjects;
}
CBaseObject::~CBaseObject() {
    --gActiveObjects;
}

CUnknown::CUnknown(const wchar_t* debugName, IUnknown* outer)
    : CBaseObject(debugName), outer_(outer) {}

CUnknown::~CUnknown() = default;

HRESULT CUnknown::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown)) {
        *ppv = static_cast<INonDelegatingUnknown*>(this);
        NonDelegatingAddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CUnknown::NonDelegatingAddRef() {
    int32_t n = ++refCount_;
    return static_cast<ULONG>(n < 1 ? 1 : n);
}

ULONG CUnknown::NonDelegatingRelease() {
    int32_t n = --refCount_;
    if (n == 0) {
        // A release nested in the destructor must find a live count, not delete twice.
        refCount_ = 1;
        delete this;
        return 0;
    }
    return static_cast<ULONG>(n < 1 ? 1 : n);
}

// A stand-alone object is its own owner. Calling its non-delegating face directly, rather than
// through that face taken as an IUnknown (same slots, different type), keeps this well-defined.
HRESULT CUnknown::ownerQueryInterface(REFIID riid, void** ppv) {
    return outer_ != nullptr ? outer_->QueryInterface(riid, ppv)
                             : NonDelegatingQueryInterface(riid, ppv);
}
ULONG CUnknown::ownerAddRef() {
    return outer_ != nullptr ? outer_->AddRef() : NonDelegatingAddRef();
}
ULONG CUnknown::ownerRelease() {
    return outer_ != nullptr ? outer_->Release() : NonDelegatingRelease();
}

HRESULT CUnknown::getInterface(IUnknown* face, void** ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = face;
    face->AddRef();
    return S_OK;
}

} // namespace halvern::com
