#pragma once

// Pieces shared by the maker's joint protocols (version 1 and versions 2/3): the command
// frames both send, the decoding of error bits into texts, and the reading of one joint's
// definition from the robot file.

#include "hardware/HardwareProtocol.h"

#include <cstddef>
#include <string>

namespace tinyxml2 {
class XMLElement;
}

namespace Hardware {

inline constexpr unsigned char kJXREnableFrame[2] = {0x01, 0x09};
inline constexpr unsigned char kJXRDisableFrame[2] = {0x01, 0x0A};
inline constexpr unsigned char kJXRResetFrame[2] = {0x01, 0x06};
inline constexpr unsigned char kJXRZeroFrame[4] = {0x01, 0x08, 0x7D, 0x00};

// Long and short text of one error bit.
struct JXRErrorBitText {
    int bit;
    const char* text;
    const char* shortText;
};

// Appends the texts of the bits of code set in table to text and shortText; with none of
// them set "no error" and "NoError".
void AppendJXRErrorTexts(const JXRErrorBitText* table, std::size_t count, int code, std::string& text,
                         std::string& shortText);

template <std::size_t N>
void AppendJXRErrorTexts(const JXRErrorBitText (&table)[N], int code, std::string& text, std::string& shortText) {
    AppendJXRErrorTexts(table, N, code, text, shortText);
}

// What ReadJXRJointGear found missing or invalid.
enum class JXRJointGearFault { None, Id, GearScale, GearZero };

// Reads "ID" (0..maxCanId), "GearScale" (finite, not 0) and "GearZero" (finite) of one
// joint element into record, in this order, and stops at the first fault.
JXRJointGearFault ReadJXRJointGear(const tinyxml2::XMLElement& joint, int maxCanId, jointData& record);

// Reads a float attribute of one joint element into value; when it is missing, value
// becomes fallback and missingLine is logged.
void ReadJXRJointFloat(const tinyxml2::XMLElement& joint, const char* attribute, float fallback,
                       const char* missingLine, float& value);

// The log line of a fault ("ProtocolJXRCAN: joint ID not found!", ...); "" for None.
const char* JXRJointGearFaultText(JXRJointGearFault fault);

}  // namespace Hardware
