// Text and number conversions, rounding, and the regional decimal separator.

#include "SysUtils.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>

namespace {

std::string ConvertErrorOf(const std::string& text) {
    try {
        StrToInt(text);
    } catch (const EConvertError& e) {
        return e.Message();
    }
    return "no EConvertError";
}

TEST(StrToInt, ReadsSignedDecimalsWithSurroundingBlanks) {
    EXPECT_EQ(StrToInt("1435"), 1435);
    EXPECT_EQ(StrToInt(" \t1435\r\n"), 1435);
    EXPECT_EQ(StrToInt("-17"), -17);
    EXPECT_EQ(StrToInt("+17"), 17);
    EXPECT_EQ(StrToInt("007"), 7);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("-2147483648"), std::numeric_limits<int>::min());
}

TEST(StrToInt, AnythingElseRaisesTheGermanConvertError) {
    EXPECT_EQ(ConvertErrorOf("12a"), "'12a' ist kein gültiger Integerwert");
    EXPECT_EQ(ConvertErrorOf(""), "'' ist kein gültiger Integerwert");
    EXPECT_EQ(ConvertErrorOf(" "), "' ' ist kein gültiger Integerwert");
    EXPECT_EQ(ConvertErrorOf("-"), "'-' ist kein gültiger Integerwert");
    EXPECT_EQ(ConvertErrorOf("1 2"), "'1 2' ist kein gültiger Integerwert");
    EXPECT_EQ(ConvertErrorOf("2147483648"), "'2147483648' ist kein gültiger Integerwert");
    EXPECT_EQ(ConvertErrorOf("-2147483649"), "'-2147483649' ist kein gültiger Integerwert");
    EXPECT_EQ(ConvertErrorOf("99999999999999999999999"), "'99999999999999999999999' ist kein gültiger Integerwert");
}

TEST(IntToStr, WholeRange) {
    EXPECT_EQ(IntToStr(0), "0");
    EXPECT_EQ(IntToStr(-42), "-42");
    EXPECT_EQ(IntToStr(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
}

TEST(TextCase, TrimStripsCode32AndBelowOnly) {
    EXPECT_EQ(Trim("\x01\t localhost \r\n"), "localhost");
    EXPECT_EQ(Trim("  "), "");
    EXPECT_EQ(Trim(""), "");
    EXPECT_EQ(Trim("a b"), "a b");
    EXPECT_EQ(Trim("\xC3\xA4"), "\xC3\xA4");  // UTF-8 bytes are above 127
}

TEST(TextCase, UpperAndLowerTouchAsciiLettersOnly) {
    EXPECT_EQ(UpperCase("4a"), "4A");
    EXPECT_EQ(UpperCase("tür"), "TüR");
    EXPECT_EQ(LowerCase("TCP"), "tcp");
    EXPECT_EQ(LowerCase("ÄB@["), "Äb@[");
}

TEST(FormatText, PrintfStyle) {
    EXPECT_EQ(Format("%s: WSAStartup error #%d", "wsock32.dll", 10091), "wsock32.dll: WSAStartup error #10091");
    EXPECT_EQ(Format("%5.2f|%-3d|%x|%%", 3.14159, 7, 255), " 3.14|7  |ff|%");
    EXPECT_EQ(Format("%s", ""), "");
    const std::string longText(5000, 'x');
    EXPECT_EQ(Format("<%s>", longText.c_str()), "<" + longText + ">");
}

// Restores the separator a test changed.
class FloatText : public ::testing::Test {
protected:
    void TearDown() override { DecimalSeparator = saved; }
    char saved = DecimalSeparator;
};

TEST_F(FloatText, FixedNotationUsesTheDecimalSeparator) {
    DecimalSeparator = '.';
    EXPECT_EQ(FloatToStrF(80.0, ffFixed, 5, 2), "80.00");
    DecimalSeparator = ',';
    EXPECT_EQ(FloatToStrF(80.0, ffFixed, 5, 2), "80,00");
}

TEST_F(FloatText, RoundsToPrecisionThenToDigits) {
    DecimalSeparator = '.';
    EXPECT_EQ(FloatToStrF(123.456, ffFixed, 5, 2), "123.46");
    EXPECT_EQ(FloatToStrF(1234.567, ffFixed, 5, 2), "1234.60");
    EXPECT_EQ(FloatToStrF(123456.0, ffFixed, 5, 2), "123460.00");
    EXPECT_EQ(FloatToStrF(-52.125, ffFixed, 5, 2), "-52.13");
    EXPECT_EQ(FloatToStrF(9.999, ffFixed, 5, 2), "10.00");
    EXPECT_EQ(FloatToStrF(0.005, ffFixed, 5, 2), "0.01");
    EXPECT_EQ(FloatToStrF(0.0004, ffFixed, 5, 2), "0.00");
    EXPECT_EQ(FloatToStrF(-0.001, ffFixed, 5, 2), "0.00");
    EXPECT_EQ(FloatToStrF(0.0, ffFixed, 5, 0), "0");
    EXPECT_EQ(FloatToStrF(2.5, ffFixed, 5, 0), "3");
    EXPECT_EQ(FloatToStrF(1.0 / 3.0, ffFixed, 15, 4), "0.3333");
}

TEST_F(FloatText, DefinedTextsForValuesThatAreNoNumbers) {
    EXPECT_EQ(FloatToStrF(std::nan(""), ffFixed, 5, 2), "NAN");
    EXPECT_EQ(FloatToStrF(INFINITY, ffFixed, 5, 2), "INF");
    EXPECT_EQ(FloatToStrF(-INFINITY, ffFixed, 5, 2), "-INF");
    EXPECT_THROW(FloatToStrF(1.0, ffGeneral, 5, 2), EConvertError);
}

TEST(Rounding, HalvesGoToTheEvenNeighbour) {
    EXPECT_EQ(RoundHalfEven(2.5), 2);
    EXPECT_EQ(RoundHalfEven(3.5), 4);
    EXPECT_EQ(RoundHalfEven(0.5), 0);
    EXPECT_EQ(RoundHalfEven(-0.5), 0);
    EXPECT_EQ(RoundHalfEven(-2.5), -2);
    EXPECT_EQ(RoundHalfEven(-3.5), -4);
    EXPECT_EQ(RoundHalfEven(2.4999999), 2);
    EXPECT_EQ(RoundHalfEven(2.5000001), 3);
    EXPECT_EQ(RoundHalfEven(-1.0), -1);
    EXPECT_EQ(RoundHalfEven(static_cast<double>(1.5f)), 2);
}

TEST(Rounding, LowEightBitsOfReceivedSwitchValues) {
    EXPECT_EQ(RoundToByte(-1.0), 255);
    EXPECT_EQ(RoundToByte(2.5), 2);
    EXPECT_EQ(RoundToByte(255.5), 0);  // 256
    EXPECT_EQ(RoundToByte(257.0), 1);
    EXPECT_EQ(RoundToByte(-256.0), 0);
}

TEST(Rounding, NoNumbersAndHugeValuesGiveDefinedResults) {
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    constexpr auto min = std::numeric_limits<std::int64_t>::min();
    EXPECT_EQ(RoundHalfEven(std::nan("")), 0);
    EXPECT_EQ(RoundHalfEven(INFINITY), max);
    EXPECT_EQ(RoundHalfEven(-INFINITY), min);
    EXPECT_EQ(RoundHalfEven(1e300), max);
    EXPECT_EQ(RoundHalfEven(-1e300), min);
    EXPECT_EQ(RoundHalfEven(9223372036854775808.0), max);
    EXPECT_EQ(RoundHalfEven(-9223372036854775808.0), min);
    EXPECT_EQ(RoundHalfEven(9223372036854774784.0), 9223372036854774784);  // largest below 2^63
    EXPECT_EQ(RoundToByte(std::nan("")), 0);
    EXPECT_EQ(RoundToByte(INFINITY), 255);
    EXPECT_EQ(RoundToByte(-INFINITY), 0);
}

// The separator is read once at start-up, so each case starts a program of its own.
std::string ProbeSeparator(const std::string& environment) {
    const std::string command = "env -i " + environment + " '" + ExeDir() + "rtl-locale-probe'";
    FILE* probe = popen(command.c_str(), "r");
    if (!probe)
        return "popen failed";
    char line[64] = {};
    const bool read = std::fgets(line, sizeof line, probe) != nullptr;
    pclose(probe);
    return read ? std::string(line) : "no output";
}

TEST(RegionalSettings, DecimalSeparatorFollowsTheEnvironmentAtStartUp) {
    EXPECT_EQ(ProbeSeparator("LANG=de_DE.UTF-8"), ",|80,00\n");
    EXPECT_EQ(ProbeSeparator("LANG=en_US.UTF-8"), ".|80.00\n");
    EXPECT_EQ(ProbeSeparator(""), ".|80.00\n");
    EXPECT_EQ(ProbeSeparator("LANG=C"), ".|80.00\n");
    EXPECT_EQ(ProbeSeparator("LANG=de_CH.UTF-8"), ".|80.00\n");
}

TEST(RegionalSettings, AllOverridesNumericOverridesLang) {
    EXPECT_EQ(ProbeSeparator("LANG=en_US.UTF-8 LC_NUMERIC=de_DE.UTF-8"), ",|80,00\n");
    EXPECT_EQ(ProbeSeparator("LANG=de_DE.UTF-8 LC_NUMERIC=en_GB.UTF-8"), ".|80.00\n");
    EXPECT_EQ(ProbeSeparator("LC_NUMERIC=fr_FR.UTF-8 LC_ALL=C"), ".|80.00\n");
    EXPECT_EQ(ProbeSeparator("LANG=C LC_ALL=nl_NL.UTF-8"), ",|80,00\n");
}

}  // namespace
