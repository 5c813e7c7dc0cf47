#include "kinematics/RobotKinematicDelta2Linear.h"

#include "core/LogSingleton.h"

#include <tinyxml2.h>

#include <cmath>
#include <stdexcept>

using DataTypes::Matrix44;
using DataTypes::Vector3;

namespace {
const char* const notReachable = "Kinematics Error Delta2: not reachable";
const char* const yMotion = "Kinematics Error Delta2: Y motion is not allowed";

float PlaneDistanceQ(const Vector3& a, const Vector3& b) {
    const float dx = a.x - b.x;
    const float dz = a.z - b.z;
    return dx * dx + dz * dz;
}
}  // namespace

RobotKinematicDelta2Linear::RobotKinematicDelta2Linear() {
    nrOfJoints = 2;
    for (int i = 0; i < maxJoints; ++i) {
        jointMaxVelocity[i] = 100.0f;
        jointMaxAcceleration[i] = 100.0f;
        jointMaxAccelerationInc[i] = 100.0f;
    }
    AccLin = 1000.0;
    AccLinInc = 2000.0;
    for (int i = 0; i < 2; ++i) {
        jointMinMax[i][0] = -5.0f;
        jointMinMax[i][1] = 500.0f;
    }
    jointMinMax[2][0] = -5.0f;
    jointMinMax[2][1] = 300.0f;
    const int turnJoints[] = {3, 6, 7, 8};
    for (int i : turnJoints) {
        jointMinMax[i][0] = -179.5f;
        jointMinMax[i][1] = 179.5f;
    }
    kinematicTypeName = "RobotKinematicDelta2Linear";
    PrepareKinematic();
}

RobotKinematicDelta2Linear::~RobotKinematicDelta2Linear() = default;

void RobotKinematicDelta2Linear::clone(const RobotKinematic* other) {
    RobotKinematic::clone(other);
    const auto* o = dynamic_cast<const RobotKinematicDelta2Linear*>(other);
    if (o == nullptr) {
        return;
    }
    mountZ = o->mountZ;
    railLUX = o->railLUX;
    railLUZ = o->railLUZ;
    railLDX = o->railLDX;
    railLDZ = o->railLDZ;
    railRUX = o->railRUX;
    railRUZ = o->railRUZ;
    railRDX = o->railRDX;
    railRDZ = o->railRDZ;
    distStab = o->distStab;
    lengthJoint = o->lengthJoint;
    tcpLeft = o->tcpLeft;
    tcpRight = o->tcpRight;
    tcpHeight = o->tcpHeight;
    connDepth = o->connDepth;
    PrepareKinematic();
}

std::unique_ptr<RobotKinematic> RobotKinematicDelta2Linear::clone() const {
    return CloneAs<RobotKinematicDelta2Linear>(*this);
}

void RobotKinematicDelta2Linear::Init(const std::string& name, const std::string& type,
                                      const std::string& iniPath, int velocitySetting) {
    RobotKinematic::Init(name, type, iniPath, velocitySetting);
    LogSingleton* log = LogSingleton::instance();
    log->add(" ");
    log->addFormat("RKDelta2Linear %s / %s  - Kinematic Data: ", name.c_str(), type.c_str());

    currentPosition(0, 0) = -1.0f;
    currentPosition(1, 1) = 1.0f;
    currentPosition(2, 2) = -1.0f;
    currentPosition.SetTranslation(0.0f, 0.0f, 300.0f);

    ReadIniFile(iniPath);
    LogJointData();
    SetMinMaxValues(jointMinMax);
    PrepareKinematic();
    log->add(" ");
}

void RobotKinematicDelta2Linear::LogJointData() const {
    LogJointLinesWithAcceleration(nrOfJoints);
    LogExtJointLines();
}

void RobotKinematicDelta2Linear::ReadIniFile(const std::string& path) {
    tinyxml2::XMLDocument doc;
    tinyxml2::XMLElement* robot = OpenRobotIni(doc, path, RobotIniFailReason::NotCorrect);
    if (robot == nullptr) {
        return;
    }
    if (tinyxml2::XMLElement* kin = FindIniElement(robot, "Kinematic", RobotIniFailReason::NoKinematic)) {
        const std::pair<const char*, float*> attributes[] = {
            {"mountZ", &mountZ},     {"railLUX", &railLUX},         {"railLUZ", &railLUZ},
            {"railLDX", &railLDX},   {"railLDZ", &railLDZ},         {"railRUX", &railRUX},
            {"railRUZ", &railRUZ},   {"railRDX", &railRDX},         {"railRDZ", &railRDZ},
            {"distStab", &distStab}, {"connDepth", &connDepth},     {"lengthJoint", &lengthJoint},
            {"tcpLeft", &tcpLeft},   {"tcpRight", &tcpRight},       {"tcpHeight", &tcpHeight},
        };
        for (const auto& a : attributes) {
            ReadIniAttribute(kin, a.first, *a.second);
        }
    }
    ReadIniJointLimits(robot, 2);
}

void RobotKinematicDelta2Linear::PrepareKinematic() {
    railU[0] = Vector3(-railLUX, 0.0f, mountZ - railLUZ);
    railU[1] = Vector3(railRUX, 0.0f, mountZ - railRUZ);
    railD[0] = Vector3(-railLDX, 0.0f, mountZ - railLDZ);
    railD[1] = Vector3(railRDX, 0.0f, mountZ - railRDZ);
    for (int i = 0; i < 2; ++i) {
        railDirection[i] = railD[i] - railU[i];
        railDirection[i].Normalize();
        carriage[i] = railU[i];
    }
}

int RobotKinematicDelta2Linear::FindCircleCircleIntersections(const Vector3& c0, float r0, const Vector3& c1, float r1,
                                                              Vector3* i1, Vector3* i2) const {
    const double dx = static_cast<double>(c1.x) - c0.x;
    const double dz = static_cast<double>(c1.z) - c0.z;
    const double d = std::sqrt(static_cast<double>(c0.x - c1.x) * (c0.x - c1.x) +
                               static_cast<double>(c0.z - c1.z) * (c0.z - c1.z));
    const double R0 = r0;
    const double R1 = r1;
    if (d > R0 + R1 || d < std::fabs(R0 - R1) || (d == 0.0 && R0 == R1)) {
        *i1 = Vector3();
        *i2 = Vector3();
        return 0;
    }
    const double a = ((R0 * R0 - R1 * R1) + d * d) / (2.0 * d);
    const double h = std::sqrt(R0 * R0 - a * a);
    const double mx = c0.x + dx * a / d;
    const double mz = c0.z + dz * a / d;
    *i1 = Vector3(static_cast<float>(mx + dz * h / d), 0.0f, static_cast<float>(mz - dx * h / d));
    *i2 = Vector3(static_cast<float>(mx - dz * h / d), 0.0f, static_cast<float>(mz + dx * h / d));
    return d == R0 + R1 ? 1 : 2;
}

int RobotKinematicDelta2Linear::FindLineCircleIntersections(const Vector3& centre, float radius, const Vector3& p1,
                                                            const Vector3& p2, Vector3* i1, Vector3* i2) const {
    const float dx = p2.x - p1.x;
    const float dz = p2.z - p1.z;
    const float A = dx * dx + dz * dz;
    const float B = 2.0f * ((p1.x - centre.x) * dx + (p1.z - centre.z) * dz);
    const float C = (p1.x - centre.x) * (p1.x - centre.x) + (p1.z - centre.z) * (p1.z - centre.z) - radius * radius;
    const float det = B * B - 4.0f * A * C;
    if (A <= 1e-7f || det < 0.0f) {
        *i1 = Vector3();
        *i2 = Vector3();
        return 0;
    }
    if (det == 0.0f) {
        const float t = -B / (2.0f * A);
        *i1 = Vector3(p1.x + t * dx, 0.0f, p1.z + t * dz);
        *i2 = Vector3();
        return 1;
    }
    const float root = std::sqrt(det);
    const float t1 = (root - B) / (2.0f * A);
    const float t2 = (-B - root) / (2.0f * A);
    *i1 = Vector3(p1.x + t1 * dx, 0.0f, p1.z + t1 * dz);
    *i2 = Vector3(p1.x + t2 * dx, 0.0f, p1.z + t2 * dz);
    return 2;
}

Vector3 RobotKinematicDelta2Linear::PlatformPoint(const Vector3& left, const Vector3& right) const {
    Vector3 i1;
    Vector3 i2;
    if (FindCircleCircleIntersections(left, lengthJoint, right, lengthJoint, &i1, &i2) == 0) {
        throw std::runtime_error(notReachable);
    }
    // The platform hangs below the carriages: the lower meeting point of the rods.
    return i1.z < i2.z ? i1 : i2;
}

void RobotKinematicDelta2Linear::ForwardKin(const float* /*q*/, Matrix44* out) {
    const Vector3 p = PlatformPoint(carriage[0], carriage[1]);
    Matrix44 f(Vector3(1.0f, 0.0f, 0.0f), Vector3(0.0f, -1.0f, 0.0f), Vector3(0.0f, 0.0f, -1.0f), p);
    f(0, 3) += tcpLeft;
    f(2, 3) -= tcpHeight;
    *out = tool.toolMatrix * f;  // f · toolMatrix
}

void RobotKinematicDelta2Linear::InverseKin(const Matrix44& m, float* q) {
    const Matrix44 flange = tool.toolMatrixInverse * m;  // m · toolMatrixInverse
    const Vector3 platform(flange(0, 3) - tcpLeft, 0.0f, flange(2, 3) + tcpHeight);

    // Each rail meets the rod circle around the platform point up to twice.
    Vector3 candidate[2][2];
    float travel[2][2];
    int count[2];
    for (int r = 0; r < 2; ++r) {
        Vector3 i1;
        Vector3 i2;
        count[r] = FindLineCircleIntersections(platform, lengthJoint, railU[r], railD[r], &i1, &i2);
        if (count[r] == 0) {
            throw std::runtime_error(notReachable);
        }
        // The one nearer the U end first.
        candidate[r][0] = count[r] == 1 ? i1 : i2;
        candidate[r][1] = i1;
        for (int k = 0; k < count[r]; ++k) {
            travel[r][k] = Vector3::Dot(candidate[r][k] - railU[r], railDirection[r]);
        }
    }

    // Candidates on the usable travel are preferred; a pair counts only when the forward
    // kinematics of its carriages gives this very platform point back, so both directions
    // always agree.
    auto outsideLimits = [this](int joint, float value) {
        const float lo = jointMinMax[joint][0];
        const float hi = jointMinMax[joint][1];
        const bool limited = std::fabs(lo) > 0.001f || std::fabs(hi) > 0.001f;
        return limited && (value < lo || value > hi) ? 1 : 0;
    };
    int bestRank = 3;
    int best[2] = {-1, -1};
    for (int a = 0; a < count[0]; ++a) {
        for (int b = 0; b < count[1]; ++b) {
            const int rank = outsideLimits(0, travel[0][a]) + outsideLimits(1, travel[1][b]);
            if (rank >= bestRank) {
                continue;
            }
            Vector3 i1;
            Vector3 i2;
            if (FindCircleCircleIntersections(candidate[0][a], lengthJoint, candidate[1][b], lengthJoint, &i1, &i2) ==
                0) {
                continue;
            }
            const Vector3& lower = i1.z < i2.z ? i1 : i2;
            const Vector3& upper = i1.z < i2.z ? i2 : i1;
            if (PlaneDistanceQ(lower, platform) <= PlaneDistanceQ(upper, platform)) {
                bestRank = rank;
                best[0] = a;
                best[1] = b;
            }
        }
    }
    if (best[0] < 0) {
        throw std::runtime_error(notReachable);
    }
    q[0] = travel[0][best[0]];
    q[1] = travel[1][best[1]];
}

void RobotKinematicDelta2Linear::SetJoints(const float* joints, bool check) {
    float q[maxJoints];
    UserToInternal(joints, q);
    if (check) {
        CheckJoints(q);
    }
    for (int i = 0; i < 2; ++i) {
        carriage[i] = railU[i] + railDirection[i] * q[i];
    }
    Matrix44 m = currentPosition;
    ForwardKin(q, &m);
    m(1, 3) = 0.0f;
    if (check) {
        CheckVirtualBox(m.GetTranslation(), currentPosition.GetTranslation());
    }
    for (int i = 0; i < nrOfJoints; ++i) {
        currentJoints[i] = q[i];
    }
    for (int i = extJointIndex; i < maxJoints; ++i) {
        currentJoints[i] = q[i];
    }
    currentPosition = m;
}

void RobotKinematicDelta2Linear::SetPosition(const Matrix44& target, float* joints) {
    CheckTargetFinite(target);
    // Float noise in y is no y motion.
    if (!(std::fabs(target(1, 3)) <= yTolerance)) {
        throw std::runtime_error(yMotion);
    }
    CheckVirtualBox(target.GetTranslation(), currentPosition.GetTranslation());

    float q[maxJoints] = {};
    InverseKin(target, q);
    for (int i = extJointIndex; i < maxJoints; ++i) {
        q[i] = joints[i];
    }
    CheckJoints(q);

    currentPosition = target;
    for (int i = 0; i <= 3; ++i) {
        currentJoints[i] = q[i];
    }
    for (int i = extJointIndex; i < maxJoints; ++i) {
        currentJoints[i] = joints[i];
    }
}
