#include <gtest/gtest.h>

#include <string>

#include "ComObject.h"
#include "ole32.h"

namespace {

constexpr CLSID TestClsid = {0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};

std::u16string ClsidText(REFCLSID clsid) {
    LPOLESTR text = nullptr;
    EXPECT_EQ(StringFromCLSID(clsid, &text), S_OK);
    std::u16string result(text);
    CoTaskMemFree(text);
    return result;
}

TEST(ClsidText, HasBracesDashesAndUpperCaseDigitsInByteOrder) {
    const std::u16string text = ClsidText(TestClsid);
    EXPECT_EQ(text.size(), 38u);
    EXPECT_EQ(text, u"{12345678-9ABC-DEF0-0123-456789ABCDEF}");
}

TEST(ClsidText, ParsesBackToTheSameGuidInEitherCase) {
    CLSID parsed{};
    EXPECT_EQ(CLSIDFromString(u"{12345678-9abc-def0-0123-456789abcdef}", &parsed), S_OK);
    EXPECT_TRUE(parsed == TestClsid);
    const std::u16string text = ClsidText(parsed);
    CLSID again{};
    EXPECT_EQ(CLSIDFromString(text.c_str(), &again), S_OK);
    EXPECT_TRUE(again == TestClsid);
}

TEST(ClsidText, RefusesMalformedTexts) {
    CLSID parsed = TestClsid;
    for (const char16_t* bad : {u"", u"12345678-9ABC-DEF0-0123-456789ABCDEF", u"{12345678-9ABC-DEF0-0123-456789ABCDEF",
                                u"{12345678-9ABC-DEF0-0123-456789ABCDEF}x", u"{12345678+9ABC-DEF0-0123-456789ABCDEF}",
                                u"{1234567G-9ABC-DEF0-0123-456789ABCDEF}", u"{12345678-9ABC-DEF0-0123-456789ABCDE}"}) {
        EXPECT_EQ(CLSIDFromString(bad, &parsed), CO_E_CLASSSTRING) << std::string(bad, bad + std::char_traits<char16_t>::length(bad));
    }
    EXPECT_TRUE(parsed == TestClsid);  // untouched by the failures
}

// A test class with an interface that extends another.
struct ITestBase : IUnknown {
    using Base = IUnknown;
    static constexpr IID Iid = {0xA0000001, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
    virtual int BaseValue() = 0;
};
struct ITestDerived : ITestBase {
    using Base = ITestBase;
    static constexpr IID Iid = {0xA0000002, 0, 0, {0, 0, 0, 0, 0, 0, 0, 2}};
    virtual int DerivedValue() = 0;
};
struct ITestOther : IUnknown {
    using Base = IUnknown;
    static constexpr IID Iid = {0xA0000003, 0, 0, {0, 0, 0, 0, 0, 0, 0, 3}};
    virtual int OtherValue() = 0;
};

int liveObjects = 0;

class TTestObject : public TComObject<ITestDerived, ITestOther> {
public:
    TTestObject() { ++liveObjects; }
    int BaseValue() override { return 1; }
    int DerivedValue() override { return 2; }
    int OtherValue() override { return 3; }

protected:
    ~TTestObject() override { --liveObjects; }
};

HRESULT CreateTestObject(REFIID riid, LPVOID* object) {
    auto* created = new TTestObject;
    HRESULT hr = created->QueryInterface(riid, object);
    created->Release();
    return hr;
}

HRESULT CreateNothing(REFIID, LPVOID* object) {
    *object = nullptr;
    return E_FAIL;
}

class ClassRegistry : public ::testing::Test {
protected:
    void TearDown() override { CoRegisterLayerClass(TestClsid, nullptr); }
};

TEST_F(ClassRegistry, CreatesARegisteredClassAskedForAnyOfItsInterfaces) {
    EXPECT_EQ(CoRegisterLayerClass(TestClsid, CreateTestObject), nullptr);
    void* object = nullptr;
    ASSERT_EQ(CoCreateInstance(TestClsid, nullptr, CLSCTX_INPROC_SERVER, ITestBase::Iid, &object), S_OK);
    auto* base = static_cast<ITestBase*>(object);
    EXPECT_EQ(base->BaseValue(), 1);

    void* other = nullptr;
    ASSERT_EQ(base->QueryInterface(ITestOther::Iid, &other), S_OK);
    EXPECT_EQ(static_cast<ITestOther*>(other)->OtherValue(), 3);

    // One identity: IUnknown from either interface is the same pointer.
    void* unknown1 = nullptr;
    void* unknown2 = nullptr;
    ASSERT_EQ(base->QueryInterface(IID_IUnknown, &unknown1), S_OK);
    ASSERT_EQ(static_cast<ITestOther*>(other)->QueryInterface(IID_IUnknown, &unknown2), S_OK);
    EXPECT_EQ(unknown1, unknown2);

    EXPECT_EQ(liveObjects, 1);
    static_cast<IUnknown*>(unknown1)->Release();
    static_cast<IUnknown*>(unknown2)->Release();
    static_cast<ITestOther*>(other)->Release();
    EXPECT_EQ(liveObjects, 1);
    EXPECT_EQ(base->Release(), 0u);
    EXPECT_EQ(liveObjects, 0);
}

TEST_F(ClassRegistry, UnknownInterfaceGivesNoInterfaceAndANullPointer) {
    CoRegisterLayerClass(TestClsid, CreateTestObject);
    void* object = reinterpret_cast<void*>(1);
    constexpr IID unknownIid = {0xDEAD, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
    EXPECT_EQ(CoCreateInstance(TestClsid, nullptr, CLSCTX_INPROC_SERVER, unknownIid, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(liveObjects, 0);
}

TEST_F(ClassRegistry, RefusesUnregisteredClassesAggregationAndOtherContexts) {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(TestClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(object, nullptr);

    CoRegisterLayerClass(TestClsid, CreateTestObject);
    TTestObject* outer = new TTestObject;
    EXPECT_EQ(CoCreateInstance(TestClsid, static_cast<ITestOther*>(outer), CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
              CLASS_E_NOAGGREGATION);
    static_cast<ITestOther*>(outer)->Release();
    EXPECT_EQ(CoCreateInstance(TestClsid, nullptr, 0x4, IID_IUnknown, &object), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(TestClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(liveObjects, 0);
}

TEST_F(ClassRegistry, ReplacingAClassReturnsTheFormerFunctionAndRemovingItUnregisters) {
    CoRegisterLayerClass(TestClsid, CreateTestObject);
    EXPECT_EQ(CoRegisterLayerClass(TestClsid, CreateNothing), &CreateTestObject);
    void* object = nullptr;
    EXPECT_EQ(CoCreateInstance(TestClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object), E_FAIL);
    EXPECT_EQ(CoRegisterLayerClass(TestClsid, nullptr), &CreateNothing);
    EXPECT_EQ(CoCreateInstance(TestClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object), REGDB_E_CLASSNOTREG);
}

TEST(Apartment, FirstInitialisationOnAThreadIsOkLaterOnesFalse) {
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    CoUninitialize();
    CoUninitialize();
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    CoUninitialize();
}

}  // namespace
