// Conversions between numbers and text, and the rounding of received values.

#include "SysUtils.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

[[noreturn]] void RaiseNotAnInteger(const std::string& text) {
    throw EConvertError(Format("'%s' ist kein gültiger Integerwert", text.c_str()));
}

}  // namespace

int StrToInt(const std::string& text) {
    const std::string trimmed = Trim(text);
    std::size_t pos = 0;
    bool negative = false;
    if (pos < trimmed.size() && (trimmed[pos] == '+' || trimmed[pos] == '-'))
        negative = trimmed[pos++] == '-';
    if (pos == trimmed.size())
        RaiseNotAnInteger(text);
    // Gathered as a negative number, so that the smallest int has room.
    constexpr long long lowest = std::numeric_limits<int>::min();
    long long value = 0;
    for (; pos < trimmed.size(); ++pos) {
        const char c = trimmed[pos];
        if (c < '0' || c > '9')
            RaiseNotAnInteger(text);
        value = value * 10 - (c - '0');
        if (value < lowest)
            RaiseNotAnInteger(text);
    }
    if (!negative) {
        if (-value > std::numeric_limits<int>::max())
            RaiseNotAnInteger(text);
        value = -value;
    }
    return static_cast<int>(value);
}

std::string IntToStr(std::int64_t value) { return std::to_string(value); }

std::string Trim(const std::string& text) {
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && IsBlank(text[first]))
        ++first;
    while (last > first && IsBlank(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}

std::string UpperCase(const std::string& text) {
    std::string result = text;
    for (char& c : result)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return result;
}

std::string LowerCase(const std::string& text) {
    std::string result = text;
    for (char& c : result)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return result;
}

std::string Format(const char* format, ...) {
    if (!format)
        return std::string();
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string result;
    if (length > 0) {
        result.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(result.data(), result.size(), format, again);
        result.resize(static_cast<std::size_t>(length));
    }
    va_end(again);
    return result;
}

// ---- fixed notation ---------------------------------------------------------------------------
namespace {

// The value's decimal digits, rounded to precision significant digits: value = 0.digits
// times ten to the power pointPos.
struct TDecimal {
    std::string digits;
    int pointPos = 0;
};

TDecimal SignificantDigits(double magnitude, int precision) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific, precision - 1);
    const std::string text(buffer, result.ptr);  // "d.ddde+xx"
    const std::size_t e = text.find('e');
    TDecimal decimal;
    for (std::size_t i = 0; i < e; ++i)
        if (text[i] != '.')
            decimal.digits += text[i];
    decimal.pointPos = std::stoi(text.substr(e + 1)) + 1;
    return decimal;
}

// Keeps digits decimals, the cut rounded half away from zero as the digits read.
void RoundToDecimals(TDecimal& decimal, int digits) {
    const int keep = decimal.pointPos + digits;
    if (keep >= static_cast<int>(decimal.digits.size()))
        return;
    if (keep < 0) {
        decimal.digits.clear();
        return;
    }
    const bool up = decimal.digits[static_cast<std::size_t>(keep)] >= '5';
    decimal.digits.resize(static_cast<std::size_t>(keep));
    if (!up)
        return;
    int i = keep - 1;
    for (; i >= 0 && decimal.digits[static_cast<std::size_t>(i)] == '9'; --i)
        decimal.digits[static_cast<std::size_t>(i)] = '0';
    if (i >= 0) {
        ++decimal.digits[static_cast<std::size_t>(i)];
    } else {
        decimal.digits.insert(decimal.digits.begin(), '1');
        ++decimal.pointPos;
    }
}

std::string FixedText(const TDecimal& decimal, int digits) {
    const auto digitAt = [&](int i) {
        return i >= 0 && i < static_cast<int>(decimal.digits.size()) ? decimal.digits[static_cast<std::size_t>(i)] : '0';
    };
    std::string text;
    if (decimal.pointPos <= 0)
        text = "0";
    for (int i = 0; i < decimal.pointPos; ++i)
        text += digitAt(i);
    if (digits > 0) {
        text += DecimalSeparator;
        for (int i = 0; i < digits; ++i)
            text += digitAt(decimal.pointPos + i);
    }
    return text;
}

}  // namespace

std::string FloatToStrF(double value, TFloatFormat format, int precision, int digits) {
    if (format != ffFixed)
        throw EConvertError("FloatToStrF: only the fixed format is supported");
    if (std::isnan(value))
        return "NAN";
    if (std::isinf(value))
        return value > 0 ? "INF" : "-INF";
    precision = std::clamp(precision, 1, 18);
    digits = std::clamp(digits, 0, 18);
    TDecimal decimal = SignificantDigits(std::fabs(value), precision);
    RoundToDecimals(decimal, digits);
    const bool zero = decimal.digits.find_first_not_of('0') == std::string::npos;
    return (value < 0 && !zero ? "-" : "") + FixedText(decimal, digits);
}

// ---- rounding ---------------------------------------------------------------------------------
std::int64_t RoundHalfEven(double value) {
    constexpr double twoTo63 = 9223372036854775808.0;
    if (std::isnan(value))
        return 0;
    if (value >= twoTo63)
        return std::numeric_limits<std::int64_t>::max();
    if (value < -twoTo63)
        return std::numeric_limits<std::int64_t>::min();
    double whole = std::floor(value);
    const double rest = value - whole;  // exact: whole and value are close
    if (rest > 0.5 || (rest == 0.5 && std::fmod(whole, 2.0) != 0.0))
        whole += 1.0;
    return whole >= twoTo63 ? std::numeric_limits<std::int64_t>::max() : static_cast<std::int64_t>(whole);
}

std::uint8_t RoundToByte(double value) {
    return static_cast<std::uint8_t>(static_cast<std::uint64_t>(RoundHalfEven(value)) & 0xFFu);
}
