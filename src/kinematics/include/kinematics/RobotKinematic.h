#pragma once

// RobotKinematic: base of every robot-type kinematic.
//
// Writing a variant:
//  - Constructor: let the base constructor run, then set nrOfJoints, your defaults and
//    kinematicTypeName (your class name; it prefixes the robot ini log lines). A variant
//    may be used without Init (the fallback four-axis arm is), so give every field its
//    Init default already in the constructor.
//  - Override clone(const RobotKinematic*) (call the base version first, then copy your own
//    fields) and clone() (return CloneAs<YourClass>(*this)).
//  - Override Init: call RobotKinematic::Init first, set defaults, read your robot ini
//    (OpenRobotIni, FindIniElement, ReadIniAttribute, ReadIniSoftwareMinMax,
//    ReadIniManufacturerJointConfig, ReadIniFileVelocities), log (LogJointLines,
//    LogExtJointLines), then SetMinMaxValues(jointMinMax) to turn user limits internal.
//    Readers that must end the process on a gap pass IniFault::Exit; the process then
//    ends through ExitOnFatalIniFault (status 46), which a test can replace with
//    SetExitFunction, so such a reader must cope with the call returning.
//  - SetJoints(user joints, check): UserToInternal, CheckJoints if check, forward
//    kinematics (flange pose times tool.toolMatrix), AddLinearAxisPositionOffset,
//    CheckVirtualBox if check, and only then store currentPosition / currentJoints.
//  - SetPosition(target, joints): CheckTargetFinite first; external axes come from joints[6..8]; use
//    SubtractLinearAxisPositionOffset, tool.toolMatrixInverse, CheckJoints and
//    CheckVirtualBox; store currentJoints / currentPosition only on success.
//  - Kinematic failures are thrown as plain int codes (KinematicError). Log repeated
//    failures once per run of failures with LogOnce / LogFormatOnce and a bool member
//    that a successful call clears.
//  - No heap allocation on the successful path of SetJoints / SetPosition.

#include "core/LogSingleton.h"
#include "core/Matrix44.h"
#include "core/SeqLockValue.h"
#include "kinematics/ExternalAxis.h"
#include "kinematics/Tool.h"

#include <atomic>
#include <memory>
#include <string>

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}  // namespace tinyxml2

namespace DataTypes {
class RobotState;
}

// Codes the kinematics throw as plain int values.
namespace KinematicError {
constexpr int None = 0;
constexpr int DeltaOutOfReach = 5;
constexpr int DeltaLinkageAngle = 12;
constexpr int JointBelowMin = 13;
constexpr int JointAboveMax = 14;
constexpr int CenterSingularity = 21;
constexpr int OutOfReach = 22;
constexpr int WristSingularity = 23;
constexpr int LinearDeltaRodGeometry = 28;
constexpr int VirtualBoxXPlus = 30;
constexpr int VirtualBoxXMinus = 31;
constexpr int VirtualBoxYPlus = 32;
constexpr int VirtualBoxYMinus = 33;
constexpr int VirtualBoxZPlus = 34;
constexpr int VirtualBoxZMinus = 35;
constexpr int NaNInJoint = 50;
constexpr int MotionNotAllowed = 99;
}  // namespace KinematicError

// Serious failure reasons for a faulty robot ini file.
namespace RobotIniFailReason {
inline constexpr char NotFound[] = "51 Robot Ini not found";
inline constexpr char NotCorrect[] = "52 Robot Ini not correct";
inline constexpr char NotValid[] = "52 Robot Ini not valid";
inline constexpr char NoRobot[] = "53 Robot Ini not complete";
inline constexpr char NoKinematic[] = "54 Robot Ini not complete";
inline constexpr char NoSoftwareMinMax[] = "55 Robot Ini not complete";
inline constexpr char NoJointVelocities[] = "56 Robot Ini not complete";
inline constexpr char NoJointAccelerations[] = "57 Robot Ini not complete";
inline constexpr char NoManufacturerJointConfig[] = "58 Robot Ini not complete";
inline constexpr char Incomplete59[] = "59 Robot Ini not complete";
inline constexpr char Incomplete60[] = "60 Robot Ini not complete";
}  // namespace RobotIniFailReason

class RobotKinematic {
public:
    // Joint vectors: robot joints A1..A6 at 0..5, external axes E1..E3 at 6..8.
    static constexpr int maxJoints = 9;
    static constexpr int maxRobotJoints = 6;
    static constexpr int maxExtJoints = 3;
    static constexpr int extJointIndex = 6;
    static constexpr int fatalExitStatus = 46;

    RobotKinematic();
    virtual ~RobotKinematic();
    RobotKinematic(const RobotKinematic&) = delete;
    RobotKinematic& operator=(const RobotKinematic&) = delete;

    // Copies the base fields of other (not velocitySetting, not logLimitViolation).
    virtual void clone(const RobotKinematic* other);
    // A new independent copy of the same variant.
    virtual std::unique_ptr<RobotKinematic> clone() const = 0;
    // Joint/motor coupling; only the six-axis arm with a differential wrist changes values.
    virtual void AdaptJointsToMotors(float* values);
    virtual void AdaptMotorsToJoints(float* values);
    virtual void Init(const std::string& name, const std::string& type, const std::string& iniPath,
                      int velocitySetting);
    // Forward kinematics from 9 user joint values; throws int codes when check is set.
    virtual void SetJoints(const float* joints, bool check);
    // Inverse kinematics; external axes from joints[6..8]; throws int codes. The base
    // version solves nothing and only refuses a non-finite target.
    virtual void SetPosition(const DataTypes::Matrix44& target, float* joints);
    virtual void UpdateConfigurationFile(tinyxml2::XMLDocument* doc, tinyxml2::XMLElement* robot);

    // Robot type string -> variant, compared exactly. Returns nullptr for "Parallel2Axis"
    // (accepted, but no kinematic) and for unknown strings. Init is not called.
    static std::unique_ptr<RobotKinematic> Create(const std::string& robotType);
    // True for the 17 variant strings (and their aliases) and "Parallel2Axis".
    static bool IsKnownRobotType(const std::string& robotType);

    // User limits (9 pairs) -> internal limits, swapped so that min <= max; published.
    void SetMinMaxValues(const float (*limits)[2]);
    // Internal limits -> user limits; a joint with direction 0 is skipped with a log line.
    void GetMinMaxValues(float (*limits)[2]) const;

    // The soft limits (internal units, as jointMinMax) and the virtual box as one value.
    struct LimitsAndBox {
        float jointMinMax[maxJoints][2] = {};
        bool virtualBoxActive = false;
        DataTypes::Vector3 virtualBoxMin;
        DataTypes::Vector3 virtualBoxMax;
    };
    // The fields above are the kinematic's own, used by the thread that runs it. Other
    // threads read the limits and the box as last published, handed over whole. A
    // kinematic and its copies (clone) share what is published, so the planners' and the
    // program variables' copies take a new limit or box when they refresh.
    // Any thread: the published value.
    LimitsAndBox GetLimitsAndBox() const;
    // Any thread: the published limits in user units (as GetMinMaxValues).
    void GetPublishedMinMaxValues(float (*limits)[2]) const;
    // The box fields (max, then min, then the flag), then published.
    void SetVirtualBox(bool active, const DataTypes::Vector3& min, const DataTypes::Vector3& max);
    // Publishes jointMinMax and the box fields as they stand (after changing them directly).
    void PublishLimitsAndBox();
    // The thread that runs this kinematic, where no computation is under way: takes a
    // value a copy published into the fields. Cheap (one atomic load) when there is none.
    void RefreshLimitsAndBox();
    void AddExternalAxis(const ExternalAxis& axis);
    // The 9 current joint values in user units.
    void GetJoints(float* joints) const;
    // 9 user values -> internal values in place; *z += zOffset.
    void KinAdaptorToInternalFormat(float* joints, float* z) const;
    // Pose and platform vector into the state.
    void GetPosition(DataTypes::RobotState* state) const;
    // currentJoints from 9 user values; joint velocities to 0.
    void ResetLastJoints(const float* joints);
    // NaN check, joint velocities and soft limits of 9 internal values; throws 50, 13, 14.
    void CheckJoints(const float* joints);
    // The code CheckJoints would throw for a whole move from one set of 9 user joint values
    // to another (0 when the target may be driven to), with nothing stored or logged: a
    // planner refuses such a target before the robot starts to move.
    int JointTargetError(const float* target, const float* from) const;
    // Throws 50 when a rotation or translation entry of target is NaN or infinite: such a
    // set-point comes from a failed computation upstream, and no variant may turn it into
    // joints or store it as the pose.
    void CheckTargetFinite(const DataTypes::Matrix44& target) const;
    // Virtual box check of a new tool point against the current one; throws 30..35.
    void CheckVirtualBox(const DataTypes::Vector3& target, const DataTypes::Vector3& current) const;
    // Base displacement by the dependent linear external axes (reads joints[6..8]).
    DataTypes::Vector3 ComputeLinearAxisPositionOffset(const float* joints);
    DataTypes::Vector3 AddLinearAxisPositionOffset(const float* joints, DataTypes::Matrix44& m);
    DataTypes::Vector3 AddLinearAxisPositionOffset(const float* joints, DataTypes::Vector3& p);
    DataTypes::Vector3 SubtractLinearAxisPositionOffset(const float* joints, DataTypes::Matrix44& m);
    DataTypes::Vector3 SubtractLinearAxisPositionOffset(const float* joints, DataTypes::Vector3& p);
    // Velocity tables below the robot ini root, with the velocity-set suffix fallback.
    void ReadIniFileVelocities(tinyxml2::XMLElement* robot);

    // Per-joint conversions (all 9 entries).
    void UserToInternal(const float* user, float* internal) const;
    void InternalToUser(const float* internal, float* user) const;

    // The function that ends the process on a fatal robot ini fault. Default: std::exit.
    using ExitFunction = void (*)(int status);
    // Installs f (nullptr restores std::exit); returns the previous function.
    static ExitFunction SetExitFunction(ExitFunction f);
    // Calls the exit function with status 46. Returns only if a test replaced it.
    static void ExitOnFatalIniFault();

    // Fields (public: the robot master, planners, servers read and set several of them).
    Tool tool;
    std::string robotName;
    std::string robotType;
    std::string kinematicTypeName;
    int nrOfJoints = 0;
    int nrOfExtJoints = 0;
    int velocitySetting = -1;
    DataTypes::Matrix44 currentPosition;
    DataTypes::Vector3 platformPosition;
    float currentJoints[maxJoints] = {};
    float jointVelocities[maxJoints] = {};
    float jointMinMax[maxJoints][2] = {};
    float jointMaxVelocity[maxJoints] = {};
    float jointMaxAcceleration[maxJoints] = {};
    float jointMaxAccelerationInc[maxJoints] = {};
    double VelTrans = 100.0;
    double AccLin = 1000.0;
    double AccLinInc = 3000.0;
    double AccOri = 1000.0;
    double AccOriInc = 3000.0;
    double VelOri = 180.0;
    bool TCPXDirToFront = false;
    bool extAxisPresent[maxExtJoints] = {false, false, false};
    bool extAxisIndependent[maxExtJoints] = {true, true, true};
    DataTypes::Vector3 extAxisOffset[maxExtJoints];
    DataTypes::Vector3 extAxisBase[maxExtJoints];
    int extAxisDirectionAngleToY[maxExtJoints] = {0, 0, 0};
    float zOffset = 0.0f;
    float brandTrafoJointOffsets[maxJoints] = {};
    float brandTrafoJointDirections[maxJoints] = {1.0f, 1.0f, 1.0f, 1.0f, 1.0f,
                                                  1.0f, 1.0f, 1.0f, 1.0f};
    double cycleTimeMS = 0.0;
    bool virtualBoxActive = false;
    DataTypes::Vector3 virtualBoxMin;
    DataTypes::Vector3 virtualBoxMax;
    bool logLimitViolation = true;

protected:
    // For clone(): a default-constructed Derived filled from source.
    template <typename Derived>
    static std::unique_ptr<RobotKinematic> CloneAs(const Derived& source) {
        auto copy = std::make_unique<Derived>();
        // Through the base so a variant's own clone overloads cannot hide this one.
        static_cast<RobotKinematic*>(copy.get())->clone(&source);
        return copy;
    }

    // What a gap in the robot ini file does: set a numbered failure reason with
    // operation mode 1, or end the process with status 46.
    enum class IniFault { FailReason, Exit };

    // Logs line (addError), sets the serious failure reason and operation mode 1.
    static void SetFailure(const std::string& line, const char* failReason);
    // Logs line (addError), then SetFailure's effect or ExitOnFatalIniFault.
    static void ReportIniFault(const std::string& line, const char* failReason, IniFault fault);

    // Existence, parse and root element "Robot" of a robot ini file, with the lines
    // "<kinematicTypeName>: could not find robot ini file: <path>" (51),
    // ": could not read robot ini file correctly: <path>" (parseFailReason) and
    // ": line Robot not found in robot ini file!" (53). Returns the root or nullptr.
    tinyxml2::XMLElement* OpenRobotIni(tinyxml2::XMLDocument& doc, const std::string& path,
                                       const char* parseFailReason,
                                       IniFault fault = IniFault::FailReason) const;
    // Child element name of parent, or nullptr after
    // "<kinematicTypeName>: line <name> not found in robot ini file!" (name in double
    // quotes when quoteName is set). failReason may be nullptr: then the line is only logged.
    tinyxml2::XMLElement* FindIniElement(tinyxml2::XMLElement* parent, const char* name,
                                         const char* failReason,
                                         IniFault fault = IniFault::FailReason,
                                         bool quoteName = false) const;
    // Attribute readers: a missing or unparsable attribute leaves value unchanged. A number
    // that is present but not finite (nan, inf, an empty value) also sets
    // RobotIniFailReason::NotValid with operation mode 1 (XmlNumber::FileNumbers).
    bool ReadIniAttribute(const tinyxml2::XMLElement* e, const char* name, float& value) const;
    bool ReadIniAttribute(const tinyxml2::XMLElement* e, const char* name, double& value) const;
    static bool ReadIniAttribute(const tinyxml2::XMLElement* e, const char* name, int& value);
    static bool ReadIniAttribute(const tinyxml2::XMLElement* e, const char* name, bool& value);
    static bool ReadIniAttribute(const tinyxml2::XMLElement* e, const char* name, std::string& value);
    // "A1Min"/"A1Max" .. for joints 0..count-1 into jointMinMax (user values).
    void ReadIniSoftwareMinMax(const tinyxml2::XMLElement* e, int count);
    // "zOffset", "A1Offset".., "A1Dir".. for joints 0..count-1.
    void ReadIniManufacturerJointConfig(const tinyxml2::XMLElement* e, int count);

    // "SoftwareMinMax" (joints 0..count-1) and the velocity tables below the robot ini root.
    void ReadIniJointLimits(tinyxml2::XMLElement* robot, int count);
    // ReadIniJointLimits, then "ManufacturerJointConfig" (joints 0..count-1).
    void ReadIniJointLimitsAndConfig(tinyxml2::XMLElement* robot, int count);
    // "Center" and "Ellbow" of the element "SINGULARITIES" (failure reason 59 when missing).
    void ReadIniSingularities(tinyxml2::XMLElement* robot, float& center, float& ellbow) const;

    // "   Joint %d: Min %.1lf Max %.1lf MaxVel %.1lf JointOffset %.1lf JointDirection %.1lf"
    // for joints 0..count-1.
    void LogJointLines(int count) const;
    // "   Joint %d:  Min %.1lf  Max %.1lf   MaxVel %.1lf   MaxAcc %.1lf   JointOffset %.1lf   JointDirection %.1lf"
    // for joints 0..count-1.
    void LogJointLinesWithAcceleration(int count) const;
    // "   ExtJoint %d: Min ..." for each registered external axis.
    void LogExtJointLines() const;
    // LogJointLines(count), LogExtJointLines, then SetMinMaxValues(jointMinMax).
    void LogJointLinesAndConvertLimits(int count);

    // currentJoints from start; joint offsets 0 and directions 1, except the elbow drive
    // (joint 2), which reads 0 with the forearm at right angles to the upper arm; zOffset 0.
    void SetStartJointsRightAngledElbow(const float* start);

    // The common part of SetJoints: user joints -> internal q (checked when check), the
    // pose forward(q, &m) computes from a copy of currentPosition, the base displacement
    // of the dependent linear axes added, the virtual box checked when check. Stores nothing.
    template <typename Forward>
    DataTypes::Matrix44 PoseOfUserJoints(const float* joints, bool check, float* q, Forward&& forward) {
        UserToInternal(joints, q);
        if (check) {
            CheckJoints(q);
        }
        DataTypes::Matrix44 m = currentPosition;
        forward(q, &m);
        AddLinearAxisPositionOffset(q, m);
        if (check) {
            CheckVirtualBox(m.GetTranslation(), currentPosition.GetTranslation());
        }
        return m;
    }

    // The common part of SetPosition: finiteness and virtual box check of target, the base displacement
    // of the dependent linear axes removed from a copy f of it, solve(f, q) for the
    // internal joints (solve may change f), the external axes from joints[6..8],
    // CheckJoints. Returns the displacement removed. Stores nothing.
    template <typename Solve>
    DataTypes::Vector3 JointsOfTarget(const DataTypes::Matrix44& target, const float* joints, float* q,
                                      Solve&& solve) {
        CheckTargetFinite(target);
        CheckVirtualBox(target.GetTranslation(), currentPosition.GetTranslation());
        DataTypes::Matrix44 f = target;
        const DataTypes::Vector3 offset = SubtractLinearAxisPositionOffset(joints, f);
        solve(f, q);
        for (int i = extJointIndex; i < maxJoints; ++i) {
            q[i] = joints[i];
        }
        CheckJoints(q);
        return offset;
    }

    // currentJoints[0..maxJoints-1] from q.
    void StoreJoints(const float* q);

    // Logs text once: nothing while logged is set; sets it.
    static void LogOnce(bool& logged, const std::string& text);
    template <typename... Args>
    static void LogFormatOnce(bool& logged, const char* format, Args... args) {
        if (logged) {
            return;
        }
        logged = true;
        LogSingleton::instance()->addFormat(format, args...);
    }

private:
    // Internal limits -> user limits of one table (GetMinMaxValues).
    void ToUserLimits(const float (*internal)[2], float (*limits)[2]) const;

    static std::atomic<ExitFunction> exitFunction_;
    // Shared with the copies; limitsAndBoxSeen is the version the fields hold.
    std::shared_ptr<SeqLockValue<LimitsAndBox>> limitsAndBox = std::make_shared<SeqLockValue<LimitsAndBox>>();
    std::uint32_t limitsAndBoxSeen = limitsAndBox->Version();
};
