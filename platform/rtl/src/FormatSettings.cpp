// The regional format settings, read once at start-up.

#include "SysUtils.h"

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <langinfo.h>
#include <locale.h>

char DecimalSeparator = '.';

namespace {

// POSIX order: LC_ALL overrides LC_NUMERIC, which overrides LANG.
std::string NumericLocaleName() {
    for (const char* variable : {"LC_ALL", "LC_NUMERIC", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value && *value)
            return value;
    }
    return "C";
}

// For a locale that is not installed on this machine: the languages whose regions write a
// decimal comma, and the regions of them that write a point.
char SeparatorByLanguage(const std::string& name) {
    static const char* const commaLanguages[] = {"be", "bg", "ca", "cs", "da", "de", "el", "es", "et", "eu", "fi",
                                                 "fr", "gl", "hr", "hu", "id", "is", "it", "lt", "lv", "nb", "nl",
                                                 "nn", "no", "pl", "pt", "ro", "ru", "sk", "sl", "sr", "sv", "tr",
                                                 "uk", "vi"};
    static const char* const pointRegions[] = {"de_CH", "de_LI", "it_CH"};
    for (const char* region : pointRegions)
        if (name.compare(0, std::strlen(region), region) == 0)
            return '.';
    const std::string language = name.substr(0, name.find_first_of("_.@"));
    for (const char* comma : commaLanguages)
        if (language == comma)
            return ',';
    return '.';
}

char RegionalDecimalSeparator() {
    const std::string name = NumericLocaleName();
    if (name == "C" || name == "POSIX" || name.compare(0, 2, "C.") == 0)
        return '.';
    if (locale_t locale = newlocale(LC_NUMERIC_MASK, name.c_str(), static_cast<locale_t>(nullptr))) {
        const char* radix = nl_langinfo_l(RADIXCHAR, locale);
        const char separator = (radix && radix[0] && !radix[1]) ? radix[0] : '\0';
        freelocale(locale);
        if (separator)
            return separator;
    }
    return SeparatorByLanguage(name);
}

struct TFormatSettingsInit {
    TFormatSettingsInit() { DecimalSeparator = RegionalDecimalSeparator(); }
} formatSettingsInit;

}  // namespace
