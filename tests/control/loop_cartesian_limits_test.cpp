// Cartesian targets and paths on the demo's four-axis arm, through every entry that
// reaches the planners: program commands, the HVP and Modbus moves (through the controller
// port), the robot master's direct moves and pallet places. A target or a pose on the way
// past a soft limit or below the virtual-box floor is refused at planning, with the
// kinematic text, and no set-point changes.

#include "control/RobotMasterPort.h"
#include "loop_test_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace ControlTest {
namespace {

const std::string kDemoRobot = std::string(BELVANTO_FIXTURES_DIR) + "/../../demo/Data/Robots/JXRPivra4/JXRPivra4.xml";
constexpr const char* kA1Max = "Kinematic error: Joint limit max reached";
constexpr const char* kFloor = "Kinematic error: Virtual box violated in Z-";

using Joints = std::array<float, 4>;

// Pose of the demo arm at these joints: x y z a b c.
struct Pose {
    float v[6];
};

std::string Num(float v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(v));
    return text;
}

// The demo arm with the planner the parameter names ("02Linear" as the demo robot file has
// it, or the joint-space one).
class CartesianLimits : public LoopTest, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        LoopTest::SetUp();
        if (IsSkipped()) return;
        std::ifstream in(kDemoRobot);
        ASSERT_TRUE(in.good()) << kDemoRobot;
        const std::string xml((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        InitGantry(Edit(xml, "GeneratorType=\"02Linear\"", std::string("GeneratorType=\"") + GetParam() + "\""));
        // The demo project's box, active, with its floor raised to z 200; set before the
        // planners get their copies, as the project file sets it at start-up.
        RobotKinematic& k = *master.GetKinematic();
        k.virtualBoxActive = true;
        k.virtualBoxMin = DataTypes::Vector3(-600, -600, 200);
        k.virtualBoxMax = DataTypes::Vector3(600, 600, 800);
        PrepareInterpreters();
        programs = LogSingleton::instance()->get_rootPath() + "Data/Programs/";
        port = std::make_unique<Control::RobotMasterPort>(master, nullptr);
        arm = master.GetKinematic()->clone();
    }
    void TearDown() override {
        std::error_code ec;
        for (const std::string& name : written) std::filesystem::remove(programs + name, ec);
        LoopTest::TearDown();
    }

public:
    Pose At(const Joints& q) {
        float joints[9] = {q[0], q[1], q[2], q[3], 0, 0, 0, 0, 0};
        arm->SetJoints(joints, false);
        DataTypes::RobotState s;
        arm->GetPosition(&s);
        s.UpdateABC();
        return Pose{{s.pose(0, 3), s.pose(1, 3), s.pose(2, 3), s.A, s.B, s.C}};
    }
    // The arm stands at these joints.
    void StandAt(const Joints& q) {
        double home[9] = {q[0], q[1], q[2], q[3], 0, 0, 0, 0, 0};
        master.SetHomePos(home);
        Cycles(2);
    }
    void Program(const std::string& body) {
        const std::string name = "CartesianLimit.xml";
        WriteText(programs + name, "<?xml version=\"1.0\"?>\n<Program>\n" + body + "</Program>\n");
        written.push_back(name);
        ASSERT_EQ(master.GetMainInterpreter().LoadProgramSynchronous(name, true), 0);
        master.StartProgram();
    }
    static std::string XYZABC(const Pose& p) {
        return "x=\"" + Num(p.v[0]) + "\" y=\"" + Num(p.v[1]) + "\" z=\"" + Num(p.v[2]) + "\" a=\"" + Num(p.v[3]) +
               "\" b=\"" + Num(p.v[4]) + "\" c=\"" + Num(p.v[5]) + "\"";
    }
    void ProgramLinear(const Joints& to) {
        Program("  <Linear Nr=\"1\" " + XYZABC(At(to)) +
                " vel=\"120\" acc=\"50\" smooth=\"0\" AbortCondition=\"false\" />\n");
    }
    // Every place of a 2 x 2 pallet lies at the pose of `to`.
    void ProgramPallet(const Joints& to) {
        const Pose p = At(to);
        const std::string value = Num(p.v[0]) + " " + Num(p.v[1]) + " " + Num(p.v[2]) + " " + Num(p.v[3]) + " " +
                                  Num(p.v[4]) + " " + Num(p.v[5]);
        const std::string joints = Num(to[0]) + " " + Num(to[1]) + " " + Num(to[2]) + " " + Num(to[3]) + " 0 0 0 0 0";
        Program("  <Store Nr=\"1\" Type=\"position\" Name=\"corner\" Value=\"" + value + "\" ValueJoints=\"" + joints +
                "\" />\n"
                "  <Matrix Nr=\"2\" CntX=\"2\" CntY=\"2\" VarPointA=\"corner\" VarPointB=\"corner\" "
                "VarPointC=\"corner\" "
                "VarTargetPos=\"place\" VarCntX=\"cx\" VarCntY=\"cy\" />\n"
                "  <Linear Nr=\"3\" Source=\"variable\" VariableName=\"place\" vel=\"120\" acc=\"50\" smooth=\"0\" "
                "AbortCondition=\"false\" />\n"
                "  <MatrixEnd Nr=\"4\" />\n");
    }
    void ProgramRelative(float x, float y, float z) {
        Program("  <Relative Nr=\"1\" MoType=\"cartbase\" x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" z=\"" + Num(z) +
                "\" vel=\"100\" acc=\"50\" smooth=\"0\" AbortCondition=\"false\" />\n");
    }
    void ProgramCircular(const Joints& help, const Joints& to) {
        const Pose h = At(help);
        const Pose e = At(to);
        Program("  <Circular Nr=\"1\" AbortCondition=\"false\" vel=\"100\" acc=\"50\" smooth=\"0\" useAngle=\"false\" "
                "angle=\"0\" Source=\"numerical\" p1x=\"" + Num(h.v[0]) + "\" p1y=\"" + Num(h.v[1]) + "\" p1z=\"" +
                Num(h.v[2]) + "\" p2x=\"" + Num(e.v[0]) + "\" p2y=\"" + Num(e.v[1]) + "\" p2z=\"" + Num(e.v[2]) +
                "\" a=\"" + Num(e.v[3]) + "\" b=\"" + Num(e.v[4]) + "\" c=\"" + Num(e.v[5]) +
                "\" e1=\"0\" e2=\"0\" e3=\"0\" />\n");
    }
    void ProgramJoint(const Joints& to) {
        Program("  <Joint Nr=\"1\" a1=\"" + Num(to[0]) + "\" a2=\"" + Num(to[1]) + "\" a3=\"" + Num(to[2]) +
                "\" a4=\"" + Num(to[3]) + "\" velPercent=\"50\" acc=\"50\" smooth=\"0\" AbortCondition=\"false\" />\n");
    }
    // Pose values (or joints) and the external axes 0, as the moves take them.
    std::array<float, 9> Values(const Joints& to, bool joints) {
        if (joints) return {to[0], to[1], to[2], to[3], 0, 0, 0, 0, 0};
        const Pose p = At(to);
        return {p.v[0], p.v[1], p.v[2], p.v[3], p.v[4], p.v[5], 0, 0, 0};
    }
    // HVP "Move Cart" (and the other forms): the controller port's direct move.
    void HvpMove(Control::DirectMove form, const std::array<float, 9>& values, float velocity) {
        port->StartDirectMove(form, values.data(), velocity, "Test: HVP Move");
    }
    // Modbus coils 100-104: the controller port's moves.
    void ModbusCartesian(Control::CartesianMove form, const std::array<float, 9>& v) {
        port->MoveCartesian(form, DataTypes::Vector3(v[0], v[1], v[2]), DataTypes::Vector3(v[3], v[4], v[5]),
                            DataTypes::Vector3(v[6], v[7], v[8]), 120.0f);
    }
    void ModbusJoint(const std::array<float, 9>& v) { port->MoveJoints(Control::JointMove::Joint, v.data(), 50.0f); }
    // The robot master's direct move, which the panel and both servers end in.
    void MoveTo(RobotMaster::DirectMove form, const std::array<float, 9>& values, float velocity) {
        master.StartDirectMove(form, values.data(), velocity, "Test: move-to");
    }

    std::array<float, 9> SetPointNow() {
        std::array<float, 9> out{};
        std::copy(std::begin(Live().jointSet), std::end(Live().jointSet), out.begin());
        return out;
    }

    std::unique_ptr<Control::RobotMasterPort> port;
    std::unique_ptr<RobotKinematic> arm;
    std::string programs;
    std::vector<std::string> written;
};

struct Entry {
    const char* name;
    std::function<void(CartesianLimits&)> start;
};

struct Case {
    const char* name;
    Joints from;
    const char* text;
    std::vector<Entry> entries;
};

INSTANTIATE_TEST_SUITE_P(BothPlanners, CartesianLimits, ::testing::Values("02Linear", "01Joint"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string("Planner") + info.param;
                         });

TEST_P(CartesianLimits, TargetsAndPathsPastALimitAreRefusedBeforeAnythingMovesAtEveryEntry) {
    using DM = Control::DirectMove;
    using CM = Control::CartesianMove;
    using RM = RobotMaster::DirectMove;
    // The demo arm: A1 -120..130; the box floor at z 200.
    const Joints pastA1 = {135, 20, 70, 45};
    const Joints across180 = {-115, 20, 70, 45};  // from a1 125: the line passes a1 180
    const Joints belowFloor = {0, 40, 110, 30};   // z about 160
    const std::vector<Case> cases = {
        {"Cartesian target past a1's limit",
         {100, 20, 70, 45},
         kA1Max,
         {{"program Linear", [&](CartesianLimits& t) { t.ProgramLinear(pastA1); }},
          {"HVP Move Cart", [&](CartesianLimits& t) { t.HvpMove(DM::Linear, t.Values(pastA1, false), 120); }},
          {"Modbus coil 100", [&](CartesianLimits& t) { t.ModbusCartesian(CM::Linear, t.Values(pastA1, false)); }},
          {"move-to", [&](CartesianLimits& t) { t.MoveTo(RM::Linear, t.Values(pastA1, false), 120); }},
          {"pallet place", [&](CartesianLimits& t) { t.ProgramPallet(pastA1); }}}},
        {"path across a1 180 with both ends inside",
         {125, 20, 70, 45},
         kA1Max,
         {{"program Linear", [&](CartesianLimits& t) { t.ProgramLinear(across180); }},
          {"HVP Move Cart", [&](CartesianLimits& t) { t.HvpMove(DM::Linear, t.Values(across180, false), 120); }},
          {"Modbus coil 100", [&](CartesianLimits& t) { t.ModbusCartesian(CM::Linear, t.Values(across180, false)); }},
          {"move-to", [&](CartesianLimits& t) { t.MoveTo(RM::Linear, t.Values(across180, false), 120); }},
          {"pallet place", [&](CartesianLimits& t) { t.ProgramPallet(across180); }}}},
        // From a1 110, 150 mm toward -x and 120 mm toward -y: round the base to a1 about 146, at
        // the same reach.
        {"relative move in the base frame past a1's limit",
         {110, 20, 70, 45},
         kA1Max,
         {{"program Relative cartbase", [](CartesianLimits& t) { t.ProgramRelative(-150, -120, 0); }},
          {"HVP Move RelativeBase",
           [](CartesianLimits& t) { t.HvpMove(DM::RelativeBase, {-150, -120, 0, 0, 0, 0, 0, 0, 0}, 100); }},
          {"Modbus coil 101",
           [](CartesianLimits& t) { t.ModbusCartesian(CM::RelativeBase, {-150, -120, 0, 0, 0, 0, 0, 0, 0}); }},
          {"move-to", [](CartesianLimits& t) { t.MoveTo(RM::RelativeBase, {-150, -120, 0, 0, 0, 0, 0, 0, 0}, 100); }}}},
        {"arc through a1 180",
         {110, 20, 70, 45},
         kA1Max,
         {{"program Circular",
           [](CartesianLimits& t) { t.ProgramCircular({180, 20, 70, 45}, {-110, 20, 70, 45}); }}}},
        {"Cartesian target below the box floor",
         {0, 20, 70, 45},
         kFloor,
         {{"program Linear", [&](CartesianLimits& t) { t.ProgramLinear(belowFloor); }},
          {"HVP Move Cart", [&](CartesianLimits& t) { t.HvpMove(DM::Linear, t.Values(belowFloor, false), 120); }},
          {"Modbus coil 100", [&](CartesianLimits& t) { t.ModbusCartesian(CM::Linear, t.Values(belowFloor, false)); }},
          {"move-to", [&](CartesianLimits& t) { t.MoveTo(RM::Linear, t.Values(belowFloor, false), 120); }},
          {"pallet place", [&](CartesianLimits& t) { t.ProgramPallet(belowFloor); }},
          {"program Relative cartbase", [](CartesianLimits& t) { t.ProgramRelative(0, 0, -250); }},
          {"HVP Move RelativeBase",
           [](CartesianLimits& t) { t.HvpMove(DM::RelativeBase, {0, 0, -250, 0, 0, 0, 0, 0, 0}, 100); }},
          {"Modbus coil 101",
           [](CartesianLimits& t) { t.ModbusCartesian(CM::RelativeBase, {0, 0, -250, 0, 0, 0, 0, 0, 0}); }}}},
        {"joint target below the box floor",
         {0, 20, 70, 45},
         kFloor,
         {{"program Joint", [&](CartesianLimits& t) { t.ProgramJoint(belowFloor); }},
          {"HVP Move Joint", [&](CartesianLimits& t) { t.HvpMove(DM::Joint, t.Values(belowFloor, true), 50); }},
          {"Modbus coil 103", [&](CartesianLimits& t) { t.ModbusJoint(t.Values(belowFloor, true)); }},
          {"move-to", [&](CartesianLimits& t) { t.MoveTo(RM::Joint, t.Values(belowFloor, true), 50); }}}},
    };
    ASSERT_LT(At(belowFloor).v[2], 200.0f);

    std::mutex eventsMutex;
    std::vector<std::string> events;
    static std::function<void(const std::string&)> sink;
    sink = [&](const std::string& text) {
        std::lock_guard<std::mutex> lock(eventsMutex);
        events.push_back(text);
    };
    for (IPO* ipo : {&master.GetMainInterpreter(), &master.GetMoveToInterpreter()}) {
        ipo->SetResultCallback([](HVPEventType event, int, int, const std::string& text) {
            if (event == HVP_EVENT_ERROR) sink(text);
        });
    }
    for (const Case& c : cases) {
        for (const Entry& e : c.entries) {
            SCOPED_TRACE(std::string(c.name) + " / " + e.name);
            StandAt(c.from);
            {
                std::lock_guard<std::mutex> lock(eventsMutex);
                events.clear();
            }
            protocol->ClearSetPoints();
            const std::array<float, 9> before = SetPointNow();
            for (std::size_t j = 0; j < 4; ++j) ASSERT_NEAR(before[j], c.from[j], 1e-3f);
            TestSupport::LogCapture log;
            e.start(*this);
            // The refusal comes from the planning thread; until then and after it nothing moves.
            EXPECT_TRUE(WaitFor([&] {
                Cycles(1);
                std::lock_guard<std::mutex> lock(eventsMutex);
                return std::find(events.begin(), events.end(), c.text) != events.end();
            })) << "no error event with the kinematic text; " << log.Joined();
            Cycles(5);
            EXPECT_EQ(SetPointNow(), before);
            for (const auto& sent : protocol->SentSetPoints(1000)) EXPECT_EQ(sent, before);
            EXPECT_TRUE(log.Contains(std::string("PathGen: target refused before motion: ") + c.text)) << log.Joined();
            EXPECT_FALSE(master.GetMainInterpreter().IsReplayRunning());
            EXPECT_FALSE(master.GetMoveToInterpreter().IsReplayRunning());
            master.StopProgram(IPO::STOP_USER);
            Cycles(2);
        }
    }
    sink = nullptr;
}

// A move inside the limits and above the floor from the same entries does move: the
// refusals above are the check's, not a closed door.
TEST_P(CartesianLimits, AMoveInsideTheLimitsRuns) {
    StandAt({0, 20, 70, 45});
    const std::array<float, 9> before = SetPointNow();
    HvpMove(Control::DirectMove::Linear, Values({30, 25, 75, 40}, false), 120);
    EXPECT_TRUE(WaitFor([&] {
        Cycles(1);
        return SetPointNow() != before;
    }));
    EXPECT_TRUE(WaitFor([&] {
        Cycles(1);
        return !master.GetMoveToInterpreter().IsReplayRunning();
    }));
    EXPECT_NEAR(Live().jointSet[0], 30.0f, 0.05f);
}

}  // namespace
}  // namespace ControlTest
