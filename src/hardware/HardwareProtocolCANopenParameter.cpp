// Per-node drive parameters from "CANopenParameter.xml" in the robot type's folder.

#include "core/LogSingleton.h"
#include "hardware/HardwareProtocolCANopen.h"

#include <tinyxml2.h>

#include <cstdio>
#include <cstdlib>

namespace Hardware {

namespace {

// Base-16 text ("0x" allowed); -1 when missing or not a number.
long HexAttribute(const tinyxml2::XMLElement* element, const char* name) {
    const char* text = element->Attribute(name);
    if (text == nullptr || *text == '\0') return -1;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 16);
    if (end == text || *end != '\0') return -1;
    return value;
}

int IntAttribute(const tinyxml2::XMLElement* element, const char* name) {
    int value = -1;
    if (element->QueryIntAttribute(name, &value) != tinyxml2::XML_SUCCESS) return -1;
    return value;
}

}  // namespace

void HardwareProtocolCANopen::InitCANopenParameterFile(const std::string& type) {
    LogSingleton* log = LogSingleton::instance();
    if (type.empty()) {
        log->add("CANopen ERROR: Trying to load parameter file but robot type is empty!");
        return;
    }
    const std::string path = log->get_rootPath() + "Data/Robots/" + type + "/CANopenParameter.xml";
    log->add("");
    log->add("CANopen parameter file: " + path);
    std::FILE* probe = std::fopen(path.c_str(), "rb");
    if (probe == nullptr) {
        log->addError("File " + path + " not available! Aborting read()");
        return;
    }
    std::fclose(probe);
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
        log->SeriousFailure("ProtocolCANopen: could not read parameter file correctly: " + path,
                            "80 Could not read CANopen parameters");
        return;
    }
    const tinyxml2::XMLElement* root = doc.FirstChildElement("CANopenParameter");
    if (root == nullptr) {
        log->addError("ProtocolCANopen: line CANopenParameter not found in parameter file!");
        return;
    }
    for (const tinyxml2::XMLElement* p = root->FirstChildElement("Parameter"); p != nullptr;
         p = p->NextSiblingElement("Parameter")) {
        const int node = IntAttribute(p, "NodeID");
        const char* nameText = p->Attribute("Name");
        const char* label = nameText != nullptr ? nameText : "n/a";
        const long index = HexAttribute(p, "AdressHex");
        const long subindex = HexAttribute(p, "SubAdressHex");
        const int size = IntAttribute(p, "SizeInByte");
        const int value = IntAttribute(p, "ValueDec");
        // Node, index and subindex must fit the SDO frame; anything else would address
        // some other node or object.
        const bool valid = node >= 1 && node <= 127 && index >= 1 && index <= 0xFFFF && subindex >= 0 &&
                           subindex <= 0xFF && (size == 1 || size == 2 || size == 4);
        if (!valid) {
            log->addFormat("INVALID Parameter - ID: %d Adr: 0x%04X:0x%02X Size: %d Name: %s Value: %d", node,
                           static_cast<unsigned>(index), static_cast<unsigned>(subindex), size, label, value);
            continue;
        }
        log->addFormat("Parameter - ID: %d Adr: 0x%04X:0x%02X Size: %d Name: %s Value: %d", node,
                       static_cast<unsigned>(index), static_cast<unsigned>(subindex), size, label, value);
        sdo.SendSDO(node, static_cast<int>(index), static_cast<int>(subindex), size, static_cast<unsigned>(value));
        const int recordIndex = NodeRecord(node);
        if (node < 126 && recordIndex >= 0 && recordIndex < kMaxRecords) {
            CANopenRecordData& c = co[static_cast<size_t>(recordIndex)];
            if (index == 0x607C) {
                c.homeOffset = value;
            } else if (index == 0x3243 && subindex == 1) {
                c.homingCaptureMode = static_cast<std::uint32_t>(value);
            } else if (index == 0x3701) {
                c.limitSwitchErrorOptionCode = static_cast<std::int16_t>(value);
            } else if (index == 0x6099 && subindex == 1) {
                c.homingSpeed1 = value;
            } else if (index == 0x6099 && subindex == 2) {
                c.homingSpeed2 = value;
            } else if (index == 0x6098) {
                c.homingMethod = static_cast<std::int8_t>(value);
            }
        }
        wait(3);
    }
    const int nonDIO = moduleTotal - dioModuleCount;
    for (int i = 0; i < nonDIO; ++i) {
        const int node = joints[static_cast<size_t>(i)].canId;
        sdo.RequestSDO(node, 0x6098, 0);
        wait(5);
        sdo.RequestSDO(node, 0x607C, 0);
        wait(5);
        sdo.RequestSDO(node, 0x6099, 1);
        wait(5);
        sdo.RequestSDO(node, 0x6099, 2);
        wait(5);
        if (!IsFirmware1650(i)) {
            sdo.RequestSDO(node, 0x3701, 0);
            wait(5);
            sdo.RequestSDO(node, 0x3243, 1);
            wait(5);
        }
    }
    log->add("");
}

}  // namespace Hardware
