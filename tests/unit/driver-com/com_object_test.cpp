// The driver's COM server seen as a host sees it: class object, factory, object lifetime and
// the IASIO vtable. Built for Linux and, unchanged, for Windows (run under Wine).
#include "AsioHalvern.h"
#include "com/class_factory.h"
#include "com/com_base.h"
#include "com/server.h"
#include "driver_ids.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using halvern::kHalvernAsioClsid;
namespace com = halvern::com;

constexpr CLSID kOtherClsid = {
    0x12345678, 0x1234, 0x1234, {0x12, 0x34, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}};

IClassFactory* classFactory() {
    void* p = nullptr;
    EXPECT_EQ(com::getClassObject(kHalvernAsioClsid, IID_IClassFactory, &p), S_OK);
    return static_cast<IClassFactory*>(p);
}

// An aggregating object that only counts what the inner object forwards to it.
struct CountingOuter : IUnknown {
    int addRefs = 0;
    int releases = 0;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++addRefs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(++releases); }
};

class ComServer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(com::activeObjectCount(), 0); }
    void TearDown() override { EXPECT_EQ(com::activeObjectCount(), 0) << "an object leaked"; }
};

TEST_F(ComServer, ClassObjectCodes) {
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(com::getClassObject(kOtherClsid, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(com::getClassObject(kHalvernAsioClsid, kOtherClsid, &p), E_NOINTERFACE);
    // The driver's own identifier is an interface of the object, not of the class object.
    EXPECT_EQ(com::getClassObject(kHalvernAsioClsid, kHalvernAsioClsid, &p), E_NOINTERFACE);
    EXPECT_EQ(com::getClassObject(kHalvernAsioClsid, IID_IClassFactory, nullptr), E_POINTER);

    for (const IID* iid : {&IID_IUnknown, &IID_IClassFactory}) {
        p = nullptr;
        ASSERT_EQ(com::getClassObject(kHalvernAsioClsid, *iid, &p), S_OK);
        auto* factory = static_cast<IClassFactory*>(p);
        EXPECT_EQ(factory->AddRef(), 2u);
        EXPECT_EQ(factory->Release(), 1u);
        EXPECT_EQ(factory->Release(), 0u);
    }
}

TEST_F(ComServer, FactoryAnswersOnlyItsInterfaces) {
    IClassFactory* factory = classFactory();
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->QueryInterface(kHalvernAsioClsid, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(factory->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    ASSERT_EQ(factory->QueryInterface(IID_IUnknown, &p), S_OK);
    EXPECT_EQ(p, static_cast<void*>(factory));
    static_cast<IUnknown*>(p)->Release();
    EXPECT_EQ(factory->Release(), 0u);
}

TEST_F(ComServer, CreatesTheDriverWithIasioAtTheObjectStart) {
    IClassFactory* factory = classFactory();
    void* p = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, kHalvernAsioClsid, nullptr), E_POINTER);
    ASSERT_EQ(factory->CreateInstance(nullptr, kHalvernAsioClsid, &p), S_OK);
    factory->Release();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(com::activeObjectCount(), 1);

    // A host casts the pointer it got to IASIO* and calls through the vtable's slots.
    auto* asio = static_cast<IASIO*>(p);
    EXPECT_EQ(static_cast<void*>(asio),
              static_cast<void*>(dynamic_cast<halvern::driver::AsioHalvern*>(asio)));
    using GetNameSlot = void (*)(IASIO*, char*);
    using VersionSlot = int32_t (*)(IASIO*);
    void** vtable = *reinterpret_cast<void***>(p);
    // On x86_64 a virtual member function is reached as a plain function taking `this` first.
    char name[kAsioDriverNameSize];
    std::memset(name, 'x', sizeof name);
    reinterpret_cast<GetNameSlot>(vtable[kSlotGetDriverName])(asio, name);
    EXPECT_STREQ(name, "Halvern ASIO");
    EXPECT_EQ(reinterpret_cast<VersionSlot>(vtable[kSlotGetDriverVersion])(asio), 1);
    char name2[kAsioDriverNameSize] = {};
    asio->getDriverName(name2);
    EXPECT_STREQ(name2, "Halvern ASIO");
    EXPECT_EQ(asio->getDriverVersion(), 1);

    // The object answers IUnknown and its own class identifier, nothing else.
    void* q = reinterpret_cast<void*>(1);
    EXPECT_EQ(asio->QueryInterface(IID_IClassFactory, &q), E_NOINTERFACE);
    EXPECT_EQ(q, nullptr);
    ASSERT_EQ(asio->QueryInterface(kHalvernAsioClsid, &q), S_OK);
    EXPECT_EQ(q, p);
    EXPECT_EQ(asio->Release(), 1u);
    EXPECT_EQ(asio->Release(), 0u);
    EXPECT_EQ(com::activeObjectCount(), 0);
}

TEST_F(ComServer, CreateForAnUnknownInterfaceLeavesNothing) {
    IClassFactory* factory = classFactory();
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(nullptr, kOtherClsid, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(com::activeObjectCount(), 0);
    factory->Release();
}

TEST_F(ComServer, AggregationOnlyForTheInnerUnknown) {
    IClassFactory* factory = classFactory();
    CountingOuter outer;
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(&outer, kHalvernAsioClsid, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(com::activeObjectCount(), 0) << "refused aggregation created an object";

    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, &p), S_OK);
    factory->Release();
    auto* inner = static_cast<com::INonDelegatingUnknown*>(p);
    void* face = nullptr;
    ASSERT_EQ(inner->NonDelegatingQueryInterface(kHalvernAsioClsid, &face), S_OK);
    auto* asio = static_cast<IASIO*>(face);
    // The public faces of an aggregated object count on the outer object.
    EXPECT_EQ(outer.addRefs, 1);
    asio->AddRef();
    asio->Release();
    EXPECT_EQ(outer.addRefs, 2);
    EXPECT_EQ(outer.releases, 1);
    void* viaOuter = reinterpret_cast<void*>(1);
    EXPECT_EQ(asio->QueryInterface(IID_IUnknown, &viaOuter), E_NOINTERFACE);
    asio->Release(); // the reference the query gave, held by the outer
    EXPECT_EQ(com::activeObjectCount(), 1);
    EXPECT_EQ(inner->NonDelegatingRelease(), 0u);
}

TEST_F(ComServer, CanUnloadOnlyWithoutObjectsAndLocks) {
    EXPECT_EQ(com::canUnloadNow(), S_OK);
    IClassFactory* factory = classFactory();
    // A live factory does not hold the module.
    EXPECT_EQ(com::canUnloadNow(), S_OK);

    void* p = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, kHalvernAsioClsid, &p), S_OK);
    auto* asio = static_cast<IASIO*>(p);
    EXPECT_EQ(com::canUnloadNow(), S_FALSE);
    asio->AddRef();
    asio->Release();
    EXPECT_EQ(com::canUnloadNow(), S_FALSE);
    asio->Release();
    EXPECT_EQ(com::canUnloadNow(), S_OK);

    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(com::canUnloadNow(), S_FALSE);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(com::canUnloadNow(), S_OK);
    factory->Release();
}

TEST_F(ComServer, ReferenceCountsNeverReportBelowOne) {
    auto* object =
        static_cast<com::CUnknown*>(halvern::driver::AsioHalvern::create(nullptr, nullptr));
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->NonDelegatingAddRef(), 1u);
    EXPECT_EQ(object->NonDelegatingAddRef(), 2u);
    EXPECT_EQ(object->NonDelegatingRelease(), 1u);
    EXPECT_EQ(com::activeObjectCount(), 1);
    EXPECT_EQ(object->NonDelegatingRelease(), 0u);
    EXPECT_EQ(com::activeObjectCount(), 0);
}

} // namespace
