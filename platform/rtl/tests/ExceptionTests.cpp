// Class names and messages of the exception classes, and the library's assertion.

#include "SysUtils.h"

#include <gtest/gtest.h>

namespace audio {
// Stands for an exception class of another unit, declared inside a namespace.
class EAudioReadError : public Exception {
public:
    EAudioReadError(const std::string& message, std::int32_t code) : Exception(message), ErrorCode(code) {}
    std::int32_t ErrorCode;
};
}  // namespace audio

namespace {

class TLocalThing : public TObject {};

TEST(ClassName, IsTheClassNameWithoutNamespaces) {
    EXPECT_EQ(audio::EAudioReadError("x", 1).ClassName(), "EAudioReadError");
    EXPECT_EQ(TLocalThing().ClassName(), "TLocalThing");
    EXPECT_EQ(EConvertError("x").ClassName(), "EConvertError");
    TComponent component(nullptr);
    EXPECT_EQ(component.ClassName(), "TComponent");
}

TEST(ClassName, IsTheDynamicClass) {
    audio::EAudioReadError error("Datei fehlt", -2147024894);
    const Exception& asBase = error;
    EXPECT_EQ(asBase.ClassName() + " " + asBase.Message(), "EAudioReadError Datei fehlt");
}

TEST(Exceptions, LibraryMessages) {
    EXPECT_EQ(ERangeError().Message(), "Range check error");
    EXPECT_EQ(EIntOverflow().Message(), "Integer overflow");
    EXPECT_EQ(EOutOfMemory().Message(), "Out of memory");
    EXPECT_EQ(ERangeError("own text").Message(), "own text");
}

TEST(Exceptions, MessageIsWhatAndCanBeChanged) {
    try {
        throw EThread("first");
    } catch (std::exception& e) {
        EXPECT_STREQ(e.what(), "first");
        auto* asException = dynamic_cast<Exception*>(&e);
        ASSERT_NE(asException, nullptr);
        asException->SetMessage("second");
        EXPECT_STREQ(e.what(), "second");
    }
}

TEST(Exceptions, AssertRaisesTheInternalErrorOnlyWhenTheConditionFails) {
    EXPECT_NO_THROW(Assert(true, "never"));
    try {
        Assert(false, "Read from file not higher than 0");
        FAIL() << "no EAssertionFailed";
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(e.Message(), "Read from file not higher than 0");
        EXPECT_EQ(e.ClassName(), "EAssertionFailed");
    }
}

}  // namespace
