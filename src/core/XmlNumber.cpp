#include "core/XmlNumber.h"

#include "core/LogSingleton.h"

#include <tinyxml2.h>

#include <cmath>
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

}  // namespace

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
