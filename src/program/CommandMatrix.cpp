#include "program/CommandMatrix.h"

#include "ElementWriter.h"
#include "IntAttribute.h"
#include "core/LogSingleton.h"
#include "program/ProgramMemory.h"

#include <tinyxml2.h>

#include <cstdio>
#include <exception>
#include <fstream>
#include <stdexcept>

CommandMatrix::CommandMatrix() {
    className = "CommandMatrix";
    commandType = CMD_LOGIC;
}

void CommandMatrix::ReadXML(tinyxml2::XMLElement* element, bool /*quiet*/) {
    // Pallet commands always log their line, quiet or not.
    LogSingleton* log = LogSingleton::instance();
    try {
        const int nr = element->IntAttribute("Nr", 0);
        // A missing or unreadable count is an incomplete command: there is no default.
        const bool haveX = IntAttribute::Query(*element, "CntX", &CntX) == tinyxml2::XML_SUCCESS;
        const bool haveY = IntAttribute::Query(*element, "CntY", &CntY) == tinyxml2::XML_SUCCESS;
        const char* a = element->Attribute("VarPointA");
        const char* b = element->Attribute("VarPointB");
        const char* c = element->Attribute("VarPointC");
        const char* target = element->Attribute("VarTargetPos");
        const char* cntX = element->Attribute("VarCntX");
        const char* cntY = element->Attribute("VarCntY");
        if (a == nullptr || b == nullptr || c == nullptr || target == nullptr || cntX == nullptr ||
            cntY == nullptr || !haveX || !haveY) {
            valid = false;
            log->addError("Could not read CommandMatrix, incomplete arguments");
            return;
        }
        varPointA = a;
        varPointB = b;
        varPointC = c;
        varTargetPos = target;
        varCntX = cntX;
        varCntY = cntY;
        if (CntX < 1 || CntY < 1) {
            valid = false;
            log->addFormat("   Nr. %d: ERROR Matrix: [%i,%i] needs at least one place in each direction", nr, CntX,
                           CntY);
            return;
        }
        valid = true;
        log->addFormat("   Nr. %d: Matrix: [%i,%i] A: %s, B: %s, C: %s, Target: %s, cntX: %s, cntY: %s", nr, CntX, CntY,
                       a, b, c, target, cntX, cntY);
    } catch (const std::exception&) {
        valid = false;
        log->addError("Error: could not read Matrix command...");
    }
}

int CommandMatrix::Interpolate(int /*cycleMs*/, float /*overridePercent*/, DataTypes::RobotState* state) {
    Programs::ProgramMemory& store = Memory();
    if (firstCycle) {
        DataTypes::RobotState* corners[3] = {&cornerA, &cornerB, &cornerC};
        const std::string* names[3] = {&varPointA, &varPointB, &varPointC};
        for (int i = 0; i < 3; ++i) {
            if (!store.HasVariable(*names[i])) {
                const std::string text = "CommandMatrix: Variable '" + *names[i] + "' is not defined.";
                LogSingleton::instance()->add(text);
                throw std::invalid_argument(text);
            }
            *corners[i] = store.GetVariable(*names[i]).state;
        }
        const DataTypes::Vector3 ta = cornerA.pose.GetTranslation();
        deltaAB = cornerB.pose.GetTranslation() - ta;
        deltaAC = cornerC.pose.GetTranslation() - ta;
        angleDeltaAB = DataTypes::Vector3(cornerB.A - cornerA.A, cornerB.B - cornerA.B, cornerB.C - cornerA.C);
        angleDeltaAC = DataTypes::Vector3(cornerC.A - cornerA.A, cornerC.B - cornerA.B, cornerC.C - cornerA.C);
        for (int j = 0; j < maxJoints; ++j) {
            jointDeltaAB[j] = static_cast<double>(cornerB.jointSet[j]) - cornerA.jointSet[j];
            jointDeltaAC[j] = static_cast<double>(cornerC.jointSet[j]) - cornerA.jointSet[j];
        }
        // A single column or row lies at corner A.
        stepX = CntX > 1 ? 1.0 / (CntX - 1) : 0.0;
        stepY = CntY > 1 ? 1.0 / (CntY - 1) : 0.0;
        counterX = 0;
        counterY = 0;
        // Only now: a failed entry must fetch the corners again, not write places from
        // the corners of an earlier entry (or default ones).
        firstCycle = false;
    }

    if (CntX < 1 || counterY >= CntY) {
        firstCycle = true;
        return nextSuccessor;
    }

    const double fx = counterX * stepX;
    const double fy = counterY * stepY;
    const float sx = static_cast<float>(fx);
    const float sy = static_cast<float>(fy);
    DataTypes::RobotState target = *state;
    const DataTypes::Vector3 ta = cornerA.pose.GetTranslation();
    target.pose.SetTranslation(ta.x + deltaAB.x * sx + deltaAC.x * sy, ta.y + deltaAB.y * sx + deltaAC.y * sy,
                               ta.z + deltaAB.z * sx + deltaAC.z * sy);
    target.A = static_cast<float>(cornerA.A + angleDeltaAB.x * fx + angleDeltaAC.x * fy);
    target.B = static_cast<float>(cornerA.B + angleDeltaAB.y * fx + angleDeltaAC.y * fy);
    target.C = static_cast<float>(cornerA.C + angleDeltaAB.z * fx + angleDeltaAC.z * fy);
    for (int j = 0; j < maxJoints; ++j) {
        target.jointSet[j] = static_cast<float>(cornerA.jointSet[j] + jointDeltaAB[j] * fx + jointDeltaAC[j] * fy);
    }
    store.SetVariable(Programs::MemoryPosition(varTargetPos, target, false), Programs::ContentUnchanged);
    store.SetVariableSingle(varCntX, counterX, true);
    store.SetVariableSingle(varCntY, counterY, true);

    if (++counterX >= CntX) {
        counterX = 0;
        ++counterY;
    }
    return bodySuccessor;
}

std::string CommandMatrix::ToString() {
    char line[1024];
    std::snprintf(line, sizeof(line),
                  "Command Matrix [%i,%i] A: %s, B: %s, C: %s, Target: %s, cntX: %s, cntY: %s - Pre: %d - Succ: %d %d "
                  "%d",
                  CntX, CntY, varPointA.c_str(), varPointB.c_str(), varPointC.c_str(), varTargetPos.c_str(),
                  varCntX.c_str(), varCntY.c_str(), predecessor, nextSuccessor, bodySuccessor, elseSuccessor);
    return line;
}

void CommandMatrix::WriteXML(std::ofstream* out, int /*commandCount*/) {
    if (out != nullptr) {
        ElementWriter::Line(*out, "Matrix", *this)
            .Int("CntX", CntX)
            .Int("CntY", CntY)
            .Text("VarPointA", varPointA)
            .Text("VarPointB", varPointB)
            .Text("VarPointC", varPointC)
            .Text("VarTargetPos", varTargetPos)
            .Text("VarCntX", varCntX)
            .Text("VarCntY", varCntY)
            .End(*this);
    }
}
