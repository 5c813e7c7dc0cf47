#include "program/CommandMatrixDefinition.h"

#include "ElementWriter.h"
#include "IntAttribute.h"
#include "core/LogSingleton.h"
#include "program/ProgramMemory.h"

#include <tinyxml2.h>

#include <cstdio>
#include <fstream>

CommandMatrixDefinition::CommandMatrixDefinition() {
    className = "CommandMatrixDefinition";
    commandType = CMD_LOGIC;
}

void CommandMatrixDefinition::ReadXML(tinyxml2::XMLElement* element, bool /*quiet*/) {
    // Pallet commands always log their line, quiet or not.
    LogSingleton* log = LogSingleton::instance();
    try {
        const tinyxml2::XMLElement& e = *element;
        const int nr = ReadInt(e, "Nr");
        CntX = IntAttribute::Read(e, "CntX");
        CntY = IntAttribute::Read(e, "CntY");
        name = ReadString(e, "Name");
        varPointA = ReadString(e, "VarPointA");
        varPointB = ReadString(e, "VarPointB");
        varPointC = ReadString(e, "VarPointC");
        if (CntX < 1 || CntY < 1) {
            // A grid without places has no defined query.
            throw XMLException("CntX and CntY must be 1 or more");
        }
        valid = true;
        log->addFormat("   Nr. %d: MatrixDefinition: %s [%i,%i] A: %s, B: %s, C: %s", nr, name.c_str(), CntX, CntY,
                       varPointA.c_str(), varPointB.c_str(), varPointC.c_str());
    } catch (const XMLException& ex) {
        valid = false;
        log->addFormat("Error: Could not read MatrixDefinition: %s", ex.what());
    }
}

int CommandMatrixDefinition::Interpolate(int /*cycleMs*/, float /*overridePercent*/,
                                         DataTypes::RobotState* /*state*/) {
    Programs::ProgramMemory& store = Memory();
    Programs::MatrixDefinition definition(CntX, CntY);
    const DataTypes::RobotState a = store.GetVariable(varPointA).state;
    const DataTypes::RobotState b = store.GetVariable(varPointB).state;
    const DataTypes::RobotState c = store.GetVariable(varPointC).state;
    const DataTypes::Vector3 ta = a.pose.GetTranslation();
    definition.deltaAB = b.pose.GetTranslation() - ta;
    definition.deltaAC = c.pose.GetTranslation() - ta;
    definition.angleDeltaAB = DataTypes::Vector3(b.A - a.A, b.B - a.B, b.C - a.C);
    definition.angleDeltaAC = DataTypes::Vector3(c.A - a.A, c.B - a.B, c.C - a.C);
    // A single column or row lies at corner A.
    definition.stepX = CntX > 1 ? 1.0 / (CntX - 1) : 0.0;
    definition.stepY = CntY > 1 ? 1.0 / (CntY - 1) : 0.0;
    definition.cornerA = a;
    // Grids of the logic program are static.
    store.SetMatrixDefinition(name, definition, BelongsToLogicInterpreter());
    return nextSuccessor;
}

std::string CommandMatrixDefinition::ToString() {
    char line[1024];
    std::snprintf(line, sizeof(line),
                  "Command MatrixDefinition %s [%i,%i] A: %s, B: %s, C: %s - Pre: %d - Succ: %d %d %d", name.c_str(), CntX, CntY, varPointA.c_str(), varPointB.c_str(), varPointC.c_str(), predecessor,
                  nextSuccessor, bodySuccessor, elseSuccessor);
    return line;
}

void CommandMatrixDefinition::WriteXML(std::ofstream* out, int /*commandCount*/) {
    if (out != nullptr) {
        ElementWriter::Line(*out, "MatrixDefinition", *this)
            .Int("CntX", CntX)
            .Int("CntY", CntY)
            .Text("Name", name)
            .Text("VarPointA", varPointA)
            .Text("VarPointB", varPointB)
            .Text("VarPointC", varPointC)
            .End(*this);
    }
}
