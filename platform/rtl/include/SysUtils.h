#pragma once
// Exceptions, conversions, format settings and program paths of the class library.

#include <cstdint>
#include <string>

#include "Classes.h"

// Exception, the common exception class, and EReadError are declared with TObject in
// Classes.h.

class EConvertError : public Exception { using Exception::Exception; };
class ERangeError : public Exception { public: ERangeError(); using Exception::Exception; };      // "Range check error"
class EIntOverflow : public Exception { public: EIntOverflow(); using Exception::Exception; };    // "Integer overflow"
class EOutOfMemory : public Exception { public: EOutOfMemory(); using Exception::Exception; };    // "Out of memory"
class EListError : public Exception { using Exception::Exception; };                             // "List index out of bounds (%d)"
class EComponentError : public Exception { using Exception::Exception; };
class EThread : public Exception { using Exception::Exception; };
// The internal-error exception of consistency checks (the library's assertion failure).
class EAssertionFailed : public Exception { using Exception::Exception; };

// Raises EAssertionFailed with text unless condition holds.
void Assert(bool condition, const std::string& text);

// ---- conversions ------------------------------------------------------------------------------
// Decimal text with optional sign and surrounding blanks of code 32 and below, within the int
// range; anything else raises EConvertError "'%s' ist kein gültiger Integerwert".
int StrToInt(const std::string& text);
std::string IntToStr(std::int64_t value);
std::string Trim(const std::string& text);       // strips characters of code 32 and below at both ends
std::string UpperCase(const std::string& text);  // A-Z only
std::string LowerCase(const std::string& text);  // a-z only
// printf-style formatting (%d %u %s %x %X %f %g %c %%, widths and precisions). Floating
// conversions follow the C library's numeric locale; FloatToStrF is the one that uses
// DecimalSeparator.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

enum TFloatFormat { ffGeneral, ffExponent, ffFixed, ffNumber };
// Fixed notation: the value rounded to precision significant digits (1 to 18), then to
// digits decimals (0 to 18, halves away from zero as the decimal digits read), with
// DecimalSeparator: (80.0, ffFixed, 5, 2) gives "80.00". No minus sign on a result of zero.
// A NaN gives "NAN", the infinities "INF" and "-INF"; the other formats raise EConvertError.
std::string FloatToStrF(double value, TFloatFormat format, int precision, int digits);

// Rounds to the nearest whole number, halves to the even neighbour (2.5 -> 2, 3.5 -> 4).
// A NaN gives 0; +infinity and values above the 64-bit range give INT64_MAX, -infinity and
// values below it give INT64_MIN.
std::int64_t RoundHalfEven(double value);
// The low 8 bits of the rounded value, as the programs keep received switch values
// (-1.0 -> 255).
std::uint8_t RoundToByte(double value);

// ---- regional format settings ---------------------------------------------------------------
// Taken from the user's regional settings at start-up: the first of LC_ALL, LC_NUMERIC and
// LANG that is set names the locale; a locale not installed here is judged by its language
// (de, fr, nl, ... write a comma). Tests may change it.
extern char DecimalSeparator;

// ---- program paths --------------------------------------------------------------------------
std::string ParamStr0();                 // the executable's full path
std::string ExtractFilePath(const std::string& fileName);  // up to and including the last '/'
std::string ExtractFileName(const std::string& fileName);
std::string ExeDir();                    // the executable's folder, ending in '/'
bool FileExists(const std::string& fileName);
