#pragma once

// Integer attributes that must not wrap. tinyxml2 stores a decimal beyond the int range
// cut to 32 bits ("4294967299" reads as 3), which would turn a slip of the keyboard into
// a valid count or axis index. These readers refuse such values instead.

#include "program/Command.h"

#include <tinyxml2.h>

#include <cstdint>
#include <string>

namespace IntAttribute {

// As XMLElement::QueryIntAttribute; a value outside the int range (outside 32 bits for a
// hexadecimal one, which tinyxml2 reads as unsigned) is XML_WRONG_ATTRIBUTE_TYPE and
// leaves *value unchanged.
inline tinyxml2::XMLError Query(const tinyxml2::XMLElement& element, const char* name, int* value) {
    const char* text = element.Attribute(name);
    if (text == nullptr) {
        return tinyxml2::XML_NO_ATTRIBUTE;
    }
    std::int64_t wide = 0;
    int narrow = 0;
    if (!tinyxml2::XMLUtil::ToInt64(text, &wide) || !tinyxml2::XMLUtil::ToInt(text, &narrow)) {
        return tinyxml2::XML_WRONG_ATTRIBUTE_TYPE;
    }
    const bool inRange = tinyxml2::XMLUtil::IsPrefixHex(text) ? (wide >= 0 && wide <= UINT32_MAX)
                                                               : (wide >= INT32_MIN && wide <= INT32_MAX);
    if (!inRange) {
        return tinyxml2::XML_WRONG_ATTRIBUTE_TYPE;
    }
    *value = narrow;
    return tinyxml2::XML_SUCCESS;
}

// As Command::ReadInt: XMLAttribNotFoundException when missing, XMLAttribParseException
// when not an int or out of its range.
inline int Read(const tinyxml2::XMLElement& element, const std::string& name) {
    int value = 0;
    const tinyxml2::XMLError result = Query(element, name.c_str(), &value);
    if (result == tinyxml2::XML_NO_ATTRIBUTE) {
        throw XMLAttribNotFoundException(name);
    }
    if (result != tinyxml2::XML_SUCCESS) {
        throw XMLAttribParseException(name);
    }
    return value;
}

}  // namespace IntAttribute
