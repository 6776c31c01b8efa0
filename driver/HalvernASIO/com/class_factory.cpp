#include "com/class_factory.h"

namespace halvern::com {

const FactoryTemplate* findFactoryTemplate(REFCLSID clsid) {
    for (std::size_t i = 0; i < kFactoryTemplateCount; ++i) {
        if (IsEqualGUID(*kFactoryTemplates[i].clsid, clsid))
            return &kFactoryTemplates[i];
    }
    return nullptr;
}

CClassFactory::CClassFactory(const FactoryTemplate* entry) : entry_(entry) {}

HRESULT CClassFactory::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory)) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG CClassFactory::AddRef() {
    return static_cast<ULONG>(++refCount_);
}

ULONG CClassFactory::Release() {
    int32_t n = --refCount_;
    if (n <= 0) {
        delete this;
        return 0;
    }
    return static_cast<ULONG>(n);
}

HRESULT CClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    // An aggregating object may only ask for the inner unknown.
    if (outer != nullptr && !IsEqualGUID(riid, IID_IUnknown))
        return E_NOINTERFACE;

    HRESULT result = S_OK;
    CUnknown* object = entry_->create(outer, &result);
    if (object == nullptr)
        return E_OUTOFMEMORY;
    if (FAILED(result)) {
        delete object;
        return result;
    }
    // The temporary reference keeps the object alive through a failed query, which then
    // releases it.
    object->NonDelegatingAddRef();
    result = object->NonDelegatingQueryInterface(riid, ppv);
    object->NonDelegatingRelease();
    return result;
}

HRESULT CClassFactory::LockServer(BOOL lock) {
    lockServer(lock != FALSE);
    return S_OK;
}

} // namespace halvern::com
