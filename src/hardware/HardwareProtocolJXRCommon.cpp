#include "hardware/HardwareProtocolJXRCommon.h"

#include "core/LogSingleton.h"
#include "core/XmlNumber.h"

#include <tinyxml2.h>


namespace Hardware {

void AppendJXRErrorTexts(const JXRErrorBitText* table, std::size_t count, int code, std::string& text,
                         std::string& shortText) {
    bool any = false;
    for (std::size_t i = 0; i < count; ++i) {
        const JXRErrorBitText& e = table[i];
        if ((code & e.bit) != 0) {
            text.append(e.text);
            shortText.append(e.shortText);
            any = true;
        }
    }
    if (!any) {
        text.append("no error");
        shortText.append("NoError");
    }
}

JXRJointGearFault ReadJXRJointGear(const tinyxml2::XMLElement& joint, int maxCanId, jointData& record) {
    int id = -1;
    if (joint.QueryIntAttribute("ID", &id) != tinyxml2::XML_SUCCESS || id < 0 || id > maxCanId) {
        return JXRJointGearFault::Id;
    }
    record.canId = id;
    float value = 0.0f;
    // A scale of 0 would turn every answer into a division by zero.
    if (!XmlNumber::ReadFinite(joint, "GearScale", value) || value == 0.0f) {
        return JXRJointGearFault::GearScale;
    }
    record.GearScale = value;
    if (!XmlNumber::ReadFinite(joint, "GearZero", value)) {
        return JXRJointGearFault::GearZero;
    }
    record.GearZero = value;
    return JXRJointGearFault::None;
}

void ReadJXRJointFloat(const tinyxml2::XMLElement& joint, const char* attribute, float fallback,
                       const char* missingLine, float& value) {
    float read = 0.0f;
    if (XmlNumber::ReadFinite(joint, attribute, read)) {
        value = read;
    } else {
        value = fallback;
        LogSingleton::instance()->add(missingLine);
    }
}

const char* JXRJointGearFaultText(JXRJointGearFault fault) {
    switch (fault) {
        case JXRJointGearFault::Id:
            return "ProtocolJXRCAN: joint ID not found!";
        case JXRJointGearFault::GearScale:
            return "ProtocolJXRCAN: joint GearScale not found!";
        case JXRJointGearFault::GearZero:
            return "ProtocolJXRCAN: joint GearZero not found!";
        case JXRJointGearFault::None:
            break;
    }
    return "";
}

}  // namespace Hardware
