#pragma once

#include <string>

namespace tinyxml2 {
class XMLElement;
}

// Configuration of one of the three external axes (linear or rotary tracks, turntables).
// Plain value record: the robot master files it by Number, the hardware protocol sets up
// the drive from it and the kinematic takes limits, speeds and base geometry from it.
class ExternalAxis {
public:
    enum ExternalAxisKinematic { Dependent = 0, Independent = 1 };

    // Same numbers as the drive modes of the hardware protocols.
    enum JointMode { Velocity = 2, Position = 4, Torque = 10 };

    ExternalAxis() = default;
    ExternalAxis(int number, const std::string& type, JointMode mode);

    static ExternalAxisKinematic KinematicFromString(const std::string& text);
    static std::string KinematicToString(ExternalAxisKinematic k);
    static JointMode MotionModeFromString(const std::string& text);
    static std::string MotionModeToString(JointMode m);

    // One line for the log, e.g. "ID=0, CAN-ID=0, Mode=Position, Type=Dependent, Min=-1000, Max=1000".
    std::string ToString() const;

    // Project file element "ExternalAxis". Returns false (and logs, sets the serious
    // failure reason "10 .prj file not complete" and operation mode 1) when "Type" is
    // missing; every other attribute keeps the record's value when missing.
    bool ReadProjectElement(const tinyxml2::XMLElement* element);
    // Writes the attributes of this record into an (empty) "ExternalAxis" element.
    void WriteProjectElement(tinyxml2::XMLElement* element) const;

    int Number = 0;
    std::string Type;
    ExternalAxisKinematic Kinematic = Dependent;
    JointMode MotionMode = Position;
    int ID = 0;
    double GearScale = 0.0;
    double Min = -1000.0;
    double Max = 1000.0;
    double VelMax = 0.0;
    double Acc = 0.0;
    double AccInc = 0.0;
    bool hasName = false;
    std::string name;
    int DirectionAngleToY = 0;
    double lz0 = 0.0;
    double Dir = 1.0;
    double Offset = 0.0;
};
