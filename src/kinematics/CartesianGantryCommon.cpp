#include "kinematics/CartesianGantryCommon.h"

#include "core/LogSingleton.h"

#include <tinyxml2.h>

#include <cstdio>

namespace CartesianGantryCommon {

void LogLinearAxis(int n, const DataTypes::Vector3& dir, float length) {
    LogSingleton::instance()->addFormat("   Linear Axis %d:  Dir %.1lf, %.1lf, %.1lf   Length: %.1lf", n,
                                        static_cast<double>(dir.x), static_cast<double>(dir.y),
                                        static_cast<double>(dir.z), static_cast<double>(length));
}

void LogJointLine(int i, float min, float max, float maxVel, float maxAcc, float offset, float direction) {
    LogSingleton::instance()->addFormat(
        "   Joint %d:  Min %.1lf  Max %.1lf   MaxVel %.1lf   MaxAcc %.1lf   JointOffset %.1lf   JointDirection %.1lf",
        i, static_cast<double>(min), static_cast<double>(max), static_cast<double>(maxVel), static_cast<double>(maxAcc),
        static_cast<double>(offset), static_cast<double>(direction));
}

void ParseDirection(const char* text, DataTypes::Vector3& v) {
    if (text == nullptr) {
        return;
    }
    std::sscanf(text, "%f %f %f", &v.x, &v.y, &v.z);
}

void WriteSoftwareMinMax(tinyxml2::XMLElement* e, const float (*limits)[2], int count) {
    char name[16];
    for (int i = 0; i < count; ++i) {
        std::snprintf(name, sizeof(name), "A%dMin", i + 1);
        e->SetAttribute(name, limits[i][0]);
        std::snprintf(name, sizeof(name), "A%dMax", i + 1);
        e->SetAttribute(name, limits[i][1]);
    }
}

}  // namespace CartesianGantryCommon
