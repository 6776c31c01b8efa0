// The class factory and the table of classes this server can create.
#pragma once

#include "com/com_base.h"

#include <atomic>
#include <cstddef>

namespace halvern::com {

// Creates a new object aggregated by `outer` (or standing alone); returns its CUnknown part, or
// null when it could not be allocated. `result` starts as S_OK; a creator may set a failure.
using CreateFunction = CUnknown* (*)(IUnknown* outer, HRESULT* result);

struct FactoryTemplate {
    const wchar_t* name;
    const CLSID* clsid;
    CreateFunction create;
};

// The classes of this server (defined beside the driver object).
extern const FactoryTemplate kFactoryTemplates[];
extern const std::size_t kFactoryTemplateCount;

const FactoryTemplate* findFactoryTemplate(REFCLSID clsid);

class CClassFactory final : public IClassFactory {
public:
    explicit CClassFactory(const FactoryTemplate* entry);

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

private:
    ~CClassFactory() = default;
    const FactoryTemplate* entry_;
    std::atomic<int32_t> refCount_{0};
};

} // namespace halvern::com
