#pragma once

#include "kinematics/RobotKinematic.h"

// Independent axes that are only moved joint by joint: joint values are converted,
// limit-checked and stored, no tool pose is computed and Cartesian targets are ignored.
// The linear and rotational variants differ only in their names.
class RobotKinematicSeparateJoints : public RobotKinematic {
public:
    ~RobotKinematicSeparateJoints() override;

    void Init(const std::string& name, const std::string& type, const std::string& iniPath,
              int velocitySetting) override;
    void SetJoints(const float* joints, bool check) override;
    // Does nothing: Cartesian set-points leave the joints where they are.
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override;

    // Range of "NrOfJoints": joints 7..9 are the external axes.
    static constexpr int minJointCount = 1;
    static constexpr int maxJointCount = maxRobotJoints;

protected:
    // className names the class in kinematicTypeName and the robot ini lines; logHeader is
    // the printf header logged by Init with robot name and type.
    RobotKinematicSeparateJoints(const char* className, const char* logHeader);

private:
    void ReadIniFile(const std::string& path);

    const char* logHeader_;
};
