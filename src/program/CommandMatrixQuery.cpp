#include "program/CommandMatrixQuery.h"

#include "ElementWriter.h"
#include "core/LogSingleton.h"
#include "program/ProgramMemory.h"

#include <tinyxml2.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <stdexcept>

CommandMatrixQuery::CommandMatrixQuery() {
    className = "CommandMatrixQuery";
    commandType = CMD_LOGIC;
}

void CommandMatrixQuery::ReadXML(tinyxml2::XMLElement* element, bool /*quiet*/) {
    // Pallet commands always log their line, quiet or not.
    LogSingleton* log = LogSingleton::instance();
    try {
        const tinyxml2::XMLElement& e = *element;
        const int nr = ReadInt(e, "Nr");
        name = ReadString(e, "Name");
        varIndex = ReadString(e, "VarIndex");
        varTargetPos = ReadString(e, "VarTargetPos");
        varCntX = ReadString(e, "VarCntX");
        varCntY = ReadString(e, "VarCntY");
        valid = true;
        log->addFormat("   Nr. %d: MatrixQuery: %s, Index: %s, Target: %s, cntX: %s, cntY: %s", nr, name.c_str(),
                       varIndex.c_str(), varTargetPos.c_str(), varCntX.c_str(), varCntY.c_str());
    } catch (const std::exception& ex) {
        valid = false;
        log->addFormat("Error: Could not read MatrixQuery: %s", ex.what());
    }
}

int CommandMatrixQuery::Interpolate(int /*cycleMs*/, float /*overridePercent*/, DataTypes::RobotState* state) {
    Programs::ProgramMemory& store = Memory();
    if (!store.HasMatrixDefinition(name)) {
        throw std::runtime_error("Command MatrixQuery: Matrix " + name + " is not defined");
    }
    const Programs::MatrixDefinition definition = store.GetMatrixDefinition(name);
    if (!store.HasVariable(varIndex)) {
        throw std::runtime_error("Command MatrixQuery: Index variable " + varIndex + " is not defined");
    }
    const double value = std::trunc(static_cast<double>(GetVariableNumberValue(varIndex)));
    const int cntX = definition.CntX;
    const int cntY = definition.CntY;

    // The index must be a whole place of a grid that has places; the counts are checked
    // before dividing by them.
    char detail[64];
    bool inRange = false;
    int index = 0;
    if (std::isnan(value)) {
        std::snprintf(detail, sizeof(detail), "nan is not an index");
    } else if (value < -2147483648.0) {
        std::snprintf(detail, sizeof(detail), "%.0f < 0", value);
    } else if (value > 2147483647.0) {
        std::snprintf(detail, sizeof(detail), "%.0f >= %dx%d", value, cntX, cntY);
    } else {
        index = static_cast<int>(value);
        const long long places = cntX > 0 && cntY > 0 ? static_cast<long long>(cntX) * cntY : 0;
        if (index < 0) {
            std::snprintf(detail, sizeof(detail), "%d < 0", index);
        } else if (index >= places) {
            std::snprintf(detail, sizeof(detail), "%d >= %dx%d", index, cntX, cntY);
        } else {
            inRange = true;
        }
    }
    if (!inRange) {
        throw std::runtime_error("Command MatrixQuery : Index for matrix " + name + " is out of range: " + detail);
    }
    const int ix = index % cntX;
    const int iy = index / cntX;

    const double fx = ix * definition.stepX;
    const double fy = iy * definition.stepY;
    const float sx = static_cast<float>(fx);
    const float sy = static_cast<float>(fy);
    const DataTypes::RobotState& a = definition.cornerA;
    const DataTypes::Vector3 ta = a.pose.GetTranslation();
    const DataTypes::Vector3& dab = definition.deltaAB;
    const DataTypes::Vector3& dac = definition.deltaAC;
    // On a copy, with the rotation rebuilt from the place's A, B, C: the joints are then
    // solved for the orientation of the place, not for the cycle's orientation.
    DataTypes::RobotState target = *state;
    target.pose.SetTranslation(ta.x + dab.x * sx + dac.x * sy, ta.y + dab.y * sx + dac.y * sy,
                               ta.z + dab.z * sx + dac.z * sy);
    target.A = static_cast<float>(a.A + definition.angleDeltaAB.x * fx + definition.angleDeltaAC.x * fy);
    target.B = static_cast<float>(a.B + definition.angleDeltaAB.y * fx + definition.angleDeltaAC.y * fy);
    target.C = static_cast<float>(a.C + definition.angleDeltaAB.z * fx + definition.angleDeltaAC.z * fy);
    target.UpdateMatrixFromABC();
    store.SetVariable(Programs::MemoryPosition(varTargetPos, target, false), Programs::ContentCartesian);
    store.SetVariableSingle(varCntX, ix, true);
    store.SetVariableSingle(varCntY, iy, true);
    return nextSuccessor;
}

std::string CommandMatrixQuery::ToString() {
    char line[1024];
    std::snprintf(line, sizeof(line), "Command MatrixQuery %s, Index: %s, Target: %s, cntX: %s, cntY: %s - Pre: %d - "
                  "Succ: %d %d %d",
                  name.c_str(), varIndex.c_str(), varTargetPos.c_str(), varCntX.c_str(), varCntY.c_str(),
                  predecessor, nextSuccessor, bodySuccessor, elseSuccessor);
    return line;
}

void CommandMatrixQuery::WriteXML(std::ofstream* out, int /*commandCount*/) {
    if (out != nullptr) {
        ElementWriter::Line(*out, "MatrixQuery", *this)
            .Text("Name", name)
            .Text("VarIndex", varIndex)
            .Text("VarTargetPos", varTargetPos)
            .Text("VarCntX", varCntX)
            .Text("VarCntY", varCntY)
            .End(*this);
    }
}
