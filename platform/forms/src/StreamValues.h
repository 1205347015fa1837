#pragma once
// Conversions of resource values for the property setters of the forms layer.

#include <initializer_list>
#include <string>
#include <utility>

#include "Classes.h"

int IntValue(const TStreamValue& value);
bool BoolValue(const TStreamValue& value);
const std::string& StringValue(const TStreamValue& value);

// The enumeration value named by an identifier; another name raises EReadError.
int EnumValue(const TStreamValue& value, std::initializer_list<std::pair<const char*, int>> names);
// The bits of the set members; a member that is not named raises EReadError.
unsigned SetValue(const TStreamValue& value, std::initializer_list<std::pair<const char*, unsigned>> names);
