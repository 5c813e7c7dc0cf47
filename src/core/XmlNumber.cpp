#include "core/XmlNumber.h"

#include "core/LogSingleton.h"

#include <tinyxml2.h>

#include <charconv>
#include <cmath>
#include <cstddef>
#include <system_error>
#include <utility>

namespace XmlNumber {

namespace {

template <typename T, typename QueryFunction>
Status QueryAs(const tinyxml2::XMLElement& element, const char* name, T& value, QueryFunction query) {
    if (element.Attribute(name) == nullptr) return Status::Missing;
    T read{};
    if ((element.*query)(name, &read) != tinyxml2::XML_SUCCESS) return Status::NotNumber;
    if (!std::isfinite(read)) return Status::NotFinite;
    value = read;
    return Status::Finite;
}

// Plain decimals ("0.0003", "16777216") read best; only values whose plain form runs
// long (tiny or huge magnitudes) take the exponent form. Both read back exactly.
constexpr std::ptrdiff_t kLongestPlain = 16;

template <typename T>
std::string Shortest(T value) {
    char text[400];  // the plain form of any double
    std::to_chars_result written = std::to_chars(text, text + sizeof(text), value, std::chars_format::fixed);
    if (written.ec != std::errc() || written.ptr - text > kLongestPlain) {
        written = std::to_chars(text, text + sizeof(text), value);
    }
    return std::string(text, written.ptr);
}

}  // namespace

std::string Text(float value) { return Shortest(value); }

std::string Text(double value) { return Shortest(value); }

Status Query(const tinyxml2::XMLElement& element, const char* name, float& value) {
    return QueryAs(element, name, value, &tinyxml2::XMLElement::QueryFloatAttribute);
}

Status Query(const tinyxml2::XMLElement& element, const char* name, double& value) {
    return QueryAs(element, name, value, &tinyxml2::XMLElement::QueryDoubleAttribute);
}

bool ReadFinite(const tinyxml2::XMLElement& element, const char* name, float& value) {
    return Query(element, name, value) == Status::Finite;
}

bool ReadFinite(const tinyxml2::XMLElement& element, const char* name, double& value) {
    return Query(element, name, value) == Status::Finite;
}

FileNumbers::FileNumbers(std::string ownerName, std::string fileWords, std::string reason)
    : owner(std::move(ownerName)), file(std::move(fileWords)), notValidReason(std::move(reason)) {}

bool FileNumbers::Read(const tinyxml2::XMLElement* element, const char* name, float& value) const {
    return element != nullptr && Report(Query(*element, name, value), *element, name);
}

bool FileNumbers::Read(const tinyxml2::XMLElement* element, const char* name, double& value) const {
    return element != nullptr && Report(Query(*element, name, value), *element, name);
}

bool FileNumbers::Report(Status status, const tinyxml2::XMLElement& element, const char* name) const {
    if (status == Status::Finite) return true;
    if (status == Status::Missing) return false;
    LogSingleton::instance()->SeriousFailure(owner + ": attribute \"" + name + "\" in line \"" + element.Name() +
                                                 "\" of " + file + " is not a finite number: \"" +
                                                 element.Attribute(name) + "\"",
                                             notValidReason);
    return false;
}

}  // namespace XmlNumber
