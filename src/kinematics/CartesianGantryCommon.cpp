#include "kinematics/CartesianGantryCommon.h"

#include "core/LogSingleton.h"

#include <tinyxml2.h>

#include <cstdio>
#include <stdexcept>

namespace CartesianGantryCommon {

void LogLinearAxis(int n, const DataTypes::Vector3& dir, float length) {
    LogSingleton::instance()->addFormat("   Linear Axis %d:  Dir %.1lf, %.1lf, %.1lf   Length: %.1lf", n,
                                        static_cast<double>(dir.x), static_cast<double>(dir.y),
                                        static_cast<double>(dir.z), static_cast<double>(length));
}

bool InvertAxes(const DataTypes::Matrix44& axes, DataTypes::Matrix44& inverse, std::string& error) {
    try {
        inverse = axes.Inverse();
    } catch (const std::runtime_error& e) {
        error = e.what();
        return false;
    }
    return true;
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
