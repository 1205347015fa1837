#include "StreamValues.h"

#include <limits>

#include "SysUtils.h"

int IntValue(const TStreamValue& value) {
    const std::int64_t number = value.AsInteger();
    if (number < std::numeric_limits<int>::min() || number > std::numeric_limits<int>::max())
        throw EReadError(IntToStr(number) + " is out of range");
    return static_cast<int>(number);
}

bool BoolValue(const TStreamValue& value) { return value.AsBoolean(); }

const std::string& StringValue(const TStreamValue& value) { return value.AsString(); }

int EnumValue(const TStreamValue& value, std::initializer_list<std::pair<const char*, int>> names) {
    const std::string& identifier = value.AsIdentifier();
    for (const auto& [name, number] : names)
        if (identifier == name) return number;
    throw EReadError("'" + identifier + "' is not a value of this property");
}

unsigned SetValue(const TStreamValue& value, std::initializer_list<std::pair<const char*, unsigned>> names) {
    if (value.Kind != TStreamValue::TKind::Set) throw EReadError("a set [...] is expected");
    unsigned bits = 0;
    for (const std::string& member : value.Items) {
        bool known = false;
        for (const auto& [name, bit] : names) {
            if (member == name) {
                bits |= bit;
                known = true;
            }
        }
        if (!known) throw EReadError("'" + member + "' is not a member of this set");
    }
    return bits;
}
