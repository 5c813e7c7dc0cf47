#pragma once

// Number attributes of the configuration files (robot, tool and project files). tinyxml2
// takes "nan", "inf" and an out-of-range "1e309" (read as inf) for numbers; none of them
// is a usable length, limit or speed, and a NaN limit switches its check off, since every
// comparison with it is false. The readers here take finite values only.

#include <string>

namespace tinyxml2 {
class XMLElement;
}

namespace XmlNumber {

// The shortest text that reads back as exactly this value ("323.456", "0.1", "250",
// "0.0003"; "1e-45" where the plain form runs long): what a file stores of a number is
// what was set, never rounded.
std::string Text(float value);
std::string Text(double value);

enum class Status {
    Finite,     // read: value replaced
    Missing,    // no such attribute
    NotNumber,  // present but no number, an empty value included
    NotFinite,  // nan or inf
};

// value is replaced only when the result is Finite.
Status Query(const tinyxml2::XMLElement& element, const char* name, float& value);
Status Query(const tinyxml2::XMLElement& element, const char* name, double& value);

// True only for a finite number; a missing or unusable value leaves value as it was. For
// numbers whose reader handles an unusable value as a missing one.
bool ReadFinite(const tinyxml2::XMLElement& element, const char* name, float& value);
bool ReadFinite(const tinyxml2::XMLElement& element, const char* name, double& value);

// The numbers of one file whose reader has no case of its own for a value it cannot use
// (a missing one keeps the default without a word). A value that is present but no finite
// number keeps the default too, but the file is then not valid: the error line
// "<owner>: attribute "<name>" in line "<element>" of <file> is not a finite number: "<text>"",
// the file's serious failure reason and operation mode 1, so that the robot does not move
// on a limit, length or speed nobody gave.
class FileNumbers {
public:
    FileNumbers(std::string owner, std::string file, std::string notValidReason);

    // True when value was replaced; a null element reads nothing.
    bool Read(const tinyxml2::XMLElement* element, const char* name, float& value) const;
    bool Read(const tinyxml2::XMLElement* element, const char* name, double& value) const;

private:
    bool Report(Status status, const tinyxml2::XMLElement& element, const char* name) const;

    std::string owner;
    std::string file;
    std::string notValidReason;
};

}  // namespace XmlNumber
