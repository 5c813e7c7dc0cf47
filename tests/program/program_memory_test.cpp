#include "program/ProgramMemory.h"

#include "core/LogSingleton.h"
#include "core/RobotState.h"
#include "kinematics/RobotKinematic.h"
#include "testsupport/PlanarKinematic.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using DataTypes::RobotState;
using Programs::MatrixDefinition;
using Programs::MemoryPosition;
using Programs::ProgramMemory;
using Programs::StoreContentType;

namespace {

// A simple kinematic: joints 0..2 are the translation, joint 3 turns about z (A); the
// external axes pass through. SetPosition throws the configured code when one is set.
class FakeKinematic : public TestSupport::PlanarKinematicT<true> {
public:
    std::unique_ptr<RobotKinematic> clone() const override { return CloneAs<FakeKinematic>(*this); }

    void SetJoints(const float* joints, bool check) override {
        for (int j = 0; j < maxJoints; ++j) {
            lastSeed[j] = joints[j];
        }
        PlanarKinematicT::SetJoints(joints, check);
    }

    void SetPosition(const DataTypes::Matrix44& target, float* joints) override {
        if (throwCode != 0) {
            throw throwCode;
        }
        PlanarKinematicT::SetPosition(target, joints);
    }

    int throwCode = 0;
    float lastSeed[maxJoints] = {};
};

RobotState PositionState(float x, float y, float z, float a) {
    RobotState s;
    s.pose.SetRotationABCDeg2(a, 0.0, 0.0);
    s.pose.SetTranslation(x, y, z);
    s.A = a;
    return s;
}

// Runs f on its own thread; false when it has not finished within the limit (a lock
// left held shows up here instead of hanging the test run).
bool FinishesWithin(std::function<void()> f, std::chrono::seconds limit = std::chrono::seconds(10)) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([f, done] {
        f();
        done->set_value();
    }).detach();
    return finished.wait_for(limit) == std::future_status::ready;
}

std::vector<std::string> ExpectedNames() {
    std::vector<std::string> names = {"#position", "#programrunning", "#logicprogramrunning",
                                      "#parts-good", "#parts-bad"};
    for (int n = 1; n <= 16; ++n) {
        for (const char* format : {"mb_num_w%d", "mb_pos_w%d", "mb_num_r%d", "mb_pos_r%d"}) {
            char name[16];
            std::snprintf(name, sizeof(name), format, n);
            names.push_back(name);
        }
    }
    return names;
}

// A store with a recording change callback.
class ProgramMemoryTest : public ::testing::Test {
protected:
    ProgramMemoryTest() {
        memory.changeCallback = [this](const MemoryPosition& v) {
            changed.push_back(v);
        };
    }

    // A store with the fake kinematic and a live robot state whose joints seed the solver.
    FakeKinematic* AttachKinematic() {
        auto kin = std::make_unique<FakeKinematic>();
        FakeKinematic* raw = kin.get();
        memory.SetKinematic(std::move(kin));
        memory.SetRobotState(&live);
        return raw;
    }

    ProgramMemory memory;
    RobotState live;
    std::vector<MemoryPosition> changed;
};

TEST(ProgramMemoryNames, FreshStoreHoldsSystemThenExchangeVariablesInOrder) {
    ProgramMemory memory;
    const std::vector<std::string> expected = ExpectedNames();
    ASSERT_EQ(expected.size(), 69u);
    EXPECT_EQ(memory.GetVariableNames(), expected);

    for (const std::string& name : expected) {
        const MemoryPosition v = memory.GetVariable(name);
        const bool isPosition = name == "#position" || name.rfind("mb_pos", 0) == 0;
        EXPECT_EQ(v.type, isPosition ? MemoryPosition::TypePosition : MemoryPosition::TypeNumber)
            << name;
        EXPECT_TRUE(v.isStatic) << name;
    }
}

TEST(ProgramMemoryNames, NamesMatchWithoutRegardToCase) {
    ProgramMemory memory;
    EXPECT_TRUE(memory.HasVariable("#POSITION"));
    EXPECT_TRUE(memory.HasVariable("Mb_Pos_R16"));
    EXPECT_FALSE(memory.HasVariable("#position "));
    EXPECT_EQ(memory.GetVariableType("MB_NUM_W3"), MemoryPosition::TypeNumber);
    EXPECT_EQ(memory.GetVariableType("#Position"), MemoryPosition::TypePosition);
    EXPECT_EQ(memory.GetVariableType("nope"), MemoryPosition::TypeNone);

    // Bytes above 127 go through tolower as unsigned values and stay as they are.
    EXPECT_EQ(Programs::ToLowerCase("Ab\xC4\xFF"), "ab\xC4\xFF");
    memory.SetVariableSingle("Caf\xC9", 1.0, true);
    EXPECT_TRUE(memory.HasVariable("CAF\xC9"));
    EXPECT_EQ(memory.GetVariable("caf\xC9").name, "caf\xC9");

    EXPECT_EQ(MemoryPosition("MiXed", 1.0, false).name, "mixed");
    EXPECT_EQ(MemoryPosition("MiXed", RobotState(), false).name, "mixed");
}

TEST(ProgramMemoryNames, AbsentNamesThrowWithTheCallersSpelling) {
    ProgramMemory memory;
    EXPECT_EQ(memory.Get("Nope"), nullptr);
    try {
        memory.GetVariable("Nope");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Variable Nope is not defined");
    }
    try {
        memory.GetMatrixDefinition("Grid");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Matrix Grid is not defined");
    }
}

TEST(MemoryPositionEquality, TolerancesAndIgnoredJoints) {
    const RobotState base = PositionState(100.0f, 20.0f, 5.0f, 30.0f);
    RobotState otherJoints = base;
    otherJoints.jointSet[0] = 45.0f;
    otherJoints.jointSet[8] = -3.0f;
    RobotState aMoved = base;
    aMoved.A += 0.02f;
    RobotState aNudged = base;
    aNudged.A += 0.005f;
    RobotState poseMoved = base;
    poseMoved.pose.m[3] += 0.001f;

    struct Case {
        const char* what;
        MemoryPosition a;
        MemoryPosition b;
        bool equal;
    };
    const Case cases[] = {
        {"positions differing only in joints", {"p", base, false}, {"p", otherJoints, false}, true},
        {"static flag is not compared", {"p", base, false}, {"P", base, true}, true},
        {"A within 0.01", {"p", base, false}, {"p", aNudged, false}, true},
        {"A beyond 0.01", {"p", base, false}, {"p", aMoved, false}, false},
        {"pose beyond 0.0001", {"p", base, false}, {"p", poseMoved, false}, false},
        {"different names", {"p", base, false}, {"q", base, false}, false},
        {"number and position", {"p", 0.0, false}, {"p", base, false}, false},
        {"numbers 0.005 apart", {"n", 3.0, false}, {"n", 3.005, false}, true},
        {"numbers 0.02 apart", {"n", 3.0, false}, {"n", 3.02, false}, false},
        {"numbers with NaN", {"n", std::nan(""), false}, {"n", std::nan(""), false}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.a == c.b, c.equal) << c.what;
        EXPECT_EQ(c.a != c.b, !c.equal) << c.what;
    }
}

// Change reporting of the number setters: the callback fires exactly when expected, and
// SetVariableSingle reports whether the name existed.
TEST_F(ProgramMemoryTest, NumberSettersReportChangesBeyondTheTolerance) {
    enum class Via { Single, SingleCreate, Set };
    struct Case {
        const char* what;
        Via via;
        double value;
        bool callback;
    };
    // Each case starts from "counter" = 3 (created with callback) and sets one value.
    const Case cases[] = {
        {"single 3.005 without create", Via::Single, 3.005, false},
        {"single 3.005 with create", Via::SingleCreate, 3.005, true},
        {"single 3.02", Via::Single, 3.02, true},
        {"set 3.01", Via::Set, 3.01, false},
        {"set 3.011", Via::Set, 3.011, true},
        {"set 2.98", Via::Set, 2.98, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        memory.Clear();
        changed.clear();
        EXPECT_FALSE(memory.SetVariableSingle("Counter", 3.0, true));
        ASSERT_EQ(changed.size(), 1u);
        EXPECT_EQ(changed[0].name, "counter");
        EXPECT_EQ(changed[0].type, MemoryPosition::TypeNumber);
        changed.clear();

        switch (c.via) {
            case Via::Single:
                EXPECT_TRUE(memory.SetVariableSingle("COUNTER", c.value, false));
                break;
            case Via::SingleCreate:
                EXPECT_TRUE(memory.SetVariableSingle("COUNTER", c.value, true));
                break;
            case Via::Set:
                memory.SetVariable(MemoryPosition("COUNTER", c.value, false),
                                   Programs::ContentNumber);
                break;
        }
        EXPECT_DOUBLE_EQ(memory.GetVariable("counter").value, c.value);  // stored either way
        EXPECT_EQ(changed.size(), c.callback ? 1u : 0u);
        if (!changed.empty()) {
            EXPECT_DOUBLE_EQ(changed[0].value, c.value);
        }
    }
}

TEST_F(ProgramMemoryTest, SingleWithoutCreateOnAbsentNameDoesNothing) {
    EXPECT_FALSE(memory.SetVariableSingle("ghost", 1.0, false));
    EXPECT_FALSE(memory.HasVariable("ghost"));
    EXPECT_TRUE(changed.empty());
}

TEST_F(ProgramMemoryTest, SingleWritesTheValueOfAPositionWithoutChangingItsType) {
    EXPECT_TRUE(memory.SetVariableSingle("mb_pos_w1", 12.5, false));
    const MemoryPosition v = memory.GetVariable("mb_pos_w1");
    EXPECT_EQ(v.type, MemoryPosition::TypePosition);
    EXPECT_DOUBLE_EQ(v.value, 12.5);
}

TEST_F(ProgramMemoryTest, ReplacingKeepsTheStoredStaticFlag) {
    memory.SetVariable(MemoryPosition("keep", 1.0, true), Programs::ContentNumber);
    memory.SetVariable(MemoryPosition("keep", 2.0, false), Programs::ContentNumber);
    memory.SetVariable(MemoryPosition("loose", 1.0, false), Programs::ContentNumber);
    memory.SetVariable(MemoryPosition("loose", 2.0, true), Programs::ContentNumber);
    EXPECT_TRUE(memory.GetVariable("keep").isStatic);
    EXPECT_DOUBLE_EQ(memory.GetVariable("keep").value, 2.0);
    EXPECT_FALSE(memory.GetVariable("loose").isStatic);

    // A replaced variable keeps its place in the list.
    const std::vector<std::string> names = memory.GetVariableNames();
    ASSERT_EQ(names.size(), 71u);
    EXPECT_EQ(names[69], "keep");
    EXPECT_EQ(names[70], "loose");
}

TEST_F(ProgramMemoryTest, PartsCountersFollowEverySetterOfTheirVariables) {
    LogSingleton* log = LogSingleton::instance();
    constexpr int kUntouched = 55;
    struct Case {
        const char* what;
        const char* name;
        double value;
        bool viaSingle;
        int good;
        int bad;
    };
    const Case cases[] = {
        {"good 7.9", "#parts-good", 7.9, false, 7, kUntouched},
        {"bad -3.7 toward zero", "#PARTS-BAD", -3.7, false, kUntouched, -3},
        {"unchanged value is written too", "#parts-good", 100.0, false, 100, kUntouched},
        {"a client's or the PLC's single set writes it too", "#parts-good", 7.9, true, 7, kUntouched},
        {"single set of the bad counter", "#Parts-Bad", 4.0, true, kUntouched, 4},
        {"another variable leaves both", "counter", 3.0, true, kUntouched, kUntouched},
        {"NaN stays defined", "#parts-good", std::nan(""), false, 0, kUntouched},
        {"huge value is clamped", "#parts-bad", 1e20, false, kUntouched,
         std::numeric_limits<int>::max()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        memory.SetVariableSingle("#parts-good", 100.0, false);
        memory.SetVariableSingle("#parts-bad", 100.0, false);
        log->PartsGood.store(kUntouched);
        log->PartsBad.store(kUntouched);
        if (c.viaSingle) {
            memory.SetVariableSingle(c.name, c.value, false);
        } else {
            memory.SetVariable(MemoryPosition(c.name, c.value, true), Programs::ContentNumber);
        }
        EXPECT_EQ(log->PartsGood.load(), c.good);
        EXPECT_EQ(log->PartsBad.load(), c.bad);
    }
    log->PartsGood.store(0);
    log->PartsBad.store(0);
}

TEST(ProgramMemoryParts, NewStoreSeedsCountersFromTheLog) {
    LogSingleton* log = LogSingleton::instance();
    log->PartsGood.store(12);
    log->PartsBad.store(4);
    ProgramMemory memory;
    EXPECT_DOUBLE_EQ(memory.GetVariable("#parts-good").value, 12.0);
    EXPECT_DOUBLE_EQ(memory.GetVariable("#parts-bad").value, 4.0);
    log->PartsGood.store(0);
    log->PartsBad.store(0);
}

TEST_F(ProgramMemoryTest, ClearKeepsStaticVariablesAndMatrices) {
    memory.SetVariableSingle("temp", 1.0, true);
    memory.SetVariable(MemoryPosition("logicvar", 5.0, true), Programs::ContentNumber);
    memory.SetVariablePos("temppos", PositionState(1, 2, 3, 0), true, Programs::ContentUnchanged);
    memory.SetVariableSingle("mb_num_w2", 42.0, false);
    memory.SetMatrixDefinition("GridA", MatrixDefinition(3, 2), false);
    memory.SetMatrixDefinition("GridB", MatrixDefinition(4, 5), true);

    TestSupport::LogCapture capture;
    changed.clear();
    memory.Clear();

    EXPECT_FALSE(memory.HasVariable("temp"));
    EXPECT_FALSE(memory.HasVariable("temppos"));
    EXPECT_DOUBLE_EQ(memory.GetVariable("logicvar").value, 5.0);
    EXPECT_DOUBLE_EQ(memory.GetVariable("mb_num_w2").value, 42.0);  // static: value kept
    EXPECT_FALSE(memory.HasMatrixDefinition("grida"));
    ASSERT_TRUE(memory.HasMatrixDefinition("GRIDB"));
    EXPECT_EQ(memory.GetMatrixDefinition("gridb").CntY, 5);

    std::vector<std::string> expected = ExpectedNames();
    expected.insert(expected.begin() + 69, "logicvar");
    EXPECT_EQ(memory.GetVariableNames(), expected);
    EXPECT_TRUE(changed.empty());  // nothing had to be re-created

    EXPECT_EQ(capture.Count("Clearing variables..."), 1);
    EXPECT_EQ(capture.Count("ProgramMemory: 70 static variables remained"), 1);
}

TEST_F(ProgramMemoryTest, GetHandsOutACopyThatLaterWritesLeaveAlone) {
    memory.SetVariablePos("#position", PositionState(1, 2, 3, 0), true, Programs::ContentUnchanged);
    std::shared_ptr<const MemoryPosition> before = memory.Get("#POSITION");
    ASSERT_NE(before, nullptr);
    memory.SetVariablePos("#position", PositionState(7, 8, 9, 0), true, Programs::ContentUnchanged);
    memory.OnPoseChanged(PositionState(4, 5, 6, 0));
    EXPECT_FLOAT_EQ(before->state.pose.m[3], 1.0f);
    EXPECT_FLOAT_EQ(memory.Get("#position")->state.pose.m[3], 4.0f);
}

TEST_F(ProgramMemoryTest, SetVariablePosCopiesOnlyTheValueFields) {
    RobotState given = PositionState(10, 20, 30, 15);
    given.jointSet[2] = 7.0f;
    given.override = 55.0f;
    given.errorText = "drive fault";

    memory.SetVariablePos("Spot", given, true, Programs::ContentUnchanged);
    EXPECT_EQ(changed.size(), 1u);  // create fires
    EXPECT_EQ(memory.GetVariable("spot").state.errorText, "drive fault");  // new: full copy

    RobotState next = given;
    next.override = 10.0f;
    next.errorText = "other";
    changed.clear();
    memory.SetVariablePos("spot", next, false, Programs::ContentUnchanged);
    EXPECT_TRUE(changed.empty());  // value fields equal
    memory.SetVariablePos("spot", next, true, Programs::ContentUnchanged);
    EXPECT_EQ(changed.size(), 1u);  // create set: fires every call, as "#position" does

    next.jointSet[4] = 1.0f;
    changed.clear();
    memory.SetVariablePos("spot", next, false, Programs::ContentUnchanged);
    ASSERT_EQ(changed.size(), 1u);
    const MemoryPosition stored = memory.GetVariable("spot");
    EXPECT_FLOAT_EQ(stored.state.jointSet[4], 1.0f);
    EXPECT_FLOAT_EQ(stored.state.override, 55.0f);  // only pose, A, B, C and joints taken
    EXPECT_EQ(stored.state.errorText, "drive fault");
}

TEST_F(ProgramMemoryTest, PositionSettersWithoutCreateIgnoreAbsentNames) {
    AttachKinematic();
    const std::function<bool()> setters[] = {
        [&] {
            memory.SetVariablePos("ghost", PositionState(1, 1, 1, 0), false, Programs::ContentCartesian);
            return false;
        },
        [&] { return memory.SetVariablePosCart("ghost", 1, 2, 3, 0, 0, 0, 0, 0, 0, false); },
        [&] { return memory.SetVariablePosJoint("ghost", 1, 2, 3, 4, 5, 6, 7, 8, 9, false); },
    };
    for (const auto& set : setters) {
        EXPECT_FALSE(set());
        EXPECT_FALSE(memory.HasVariable("ghost"));
        EXPECT_TRUE(changed.empty());
    }
}

TEST_F(ProgramMemoryTest, JointSettersRecomputeThePoseThroughTheKinematic) {
    AttachKinematic();
    EXPECT_FALSE(memory.SetVariablePosJoint("Target", 100, 50, 10, 90, 0, 0, 1, 2, 3, true));
    MemoryPosition v = memory.GetVariable("target");
    EXPECT_EQ(v.type, MemoryPosition::TypePosition);
    EXPECT_NEAR(v.state.pose.m[3], 100.0f, 1e-4);
    EXPECT_NEAR(v.state.pose.m[11], 10.0f, 1e-4);
    EXPECT_NEAR(v.state.A, 90.0f, 1e-3);  // A recomputed from the pose
    EXPECT_FLOAT_EQ(v.state.jointSet[8], 3.0f);
    ASSERT_EQ(changed.size(), 1u);

    changed.clear();
    EXPECT_TRUE(memory.SetVariablePosJoint("TARGET", 100, 50, 10, 90, 0, 0, 1, 2, 3.005, false));
    EXPECT_TRUE(changed.empty());
    EXPECT_TRUE(memory.SetVariablePosJoint("target", 100, 50, 12, 90, 0, 0, 1, 2, 3, false));
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_NEAR(changed[0].state.pose.m[11], 12.0f, 1e-4);

    // SetVariable with joints given recomputes the pose as well.
    RobotState joints;
    joints.jointSet[0] = -20.0f;
    memory.SetVariable(MemoryPosition("viaset", joints, false), Programs::ContentJoints);
    EXPECT_NEAR(memory.GetVariable("viaset").state.pose.m[3], -20.0f, 1e-4);
}

TEST_F(ProgramMemoryTest, CartesianSettersSolveFromTheLiveJoints) {
    FakeKinematic* kin = AttachKinematic();
    for (int j = 0; j < 9; ++j) {
        live.jointSet[j] = static_cast<float>(j + 1);
    }
    EXPECT_FALSE(memory.SetVariablePosCart("P1", 300, 40, -5, 0, 0, 0, 7, 8, 9, true));
    for (int j = 0; j < 9; ++j) {
        EXPECT_FLOAT_EQ(kin->lastSeed[j], static_cast<float>(j + 1)) << j;
    }
    MemoryPosition v = memory.GetVariable("p1");
    EXPECT_NEAR(v.state.jointSet[0], 300.0f, 1e-4);
    EXPECT_NEAR(v.state.jointSet[2], -5.0f, 1e-4);
    EXPECT_FLOAT_EQ(v.state.jointSet[6], 7.0f);
    EXPECT_FLOAT_EQ(v.state.jointSet[8], 9.0f);

    changed.clear();
    EXPECT_TRUE(memory.SetVariablePosCart("p1", 300.005, 40, -5, 0, 0, 0, 7, 8, 9, false));
    EXPECT_TRUE(changed.empty());
    EXPECT_TRUE(memory.SetVariablePosCart("p1", 300, 40, -5, 0, 0, 0, 7, 8, 9.5, false));
    EXPECT_EQ(changed.size(), 1u);

    // SetVariable and SetVariablePos with the Cartesian pose given recompute the joints.
    memory.SetVariable(MemoryPosition("viaset", PositionState(11, 12, 13, 0), false),
                       Programs::ContentCartesian);
    EXPECT_NEAR(memory.GetVariable("viaset").state.jointSet[1], 12.0f, 1e-4);
    memory.SetVariablePos("viapos", PositionState(21, 22, 23, 0), true, Programs::ContentCartesian);
    EXPECT_NEAR(memory.GetVariable("viapos").state.jointSet[2], 23.0f, 1e-4);
}

// An integer code from the kinematic passes out of the setter, releases the lock, fires no
// callback, writes no counter and leaves the new Cartesian values with the old joints.
TEST_F(ProgramMemoryTest, KinematicErrorLeavesNoLockCallbackOrCounter) {
    FakeKinematic* kin = AttachKinematic();
    LogSingleton* log = LogSingleton::instance();
    struct Case {
        const char* what;
        std::function<void()> set;
        const char* name;
    };
    RobotState far = PositionState(900, 0, 0, 0);
    far.jointSet[0] = 5.0f;
    MemoryPosition partsRecord("#parts-good", 9.0, false);
    partsRecord.state = far;
    const Case cases[] = {
        {"SetVariable", [&] { memory.SetVariable(MemoryPosition("mb_pos_w1", far, false), Programs::ContentCartesian); },
         "mb_pos_w1"},
        {"SetVariable on the parts counter", [&] { memory.SetVariable(partsRecord, Programs::ContentCartesian); },
         "#parts-good"},
        {"SetVariablePos", [&] { memory.SetVariablePos("mb_pos_w1", far, false, Programs::ContentCartesian); },
         "mb_pos_w1"},
        {"SetVariablePosCart", [&] { memory.SetVariablePosCart("mb_pos_w1", 900, 0, 0, 0, 0, 0, 0, 0, 0, false); },
         "mb_pos_w1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kin->throwCode = 0;
        memory.SetVariablePosJoint("mb_pos_w1", 1, 2, 3, 0, 0, 0, 0, 0, 0, false);
        log->PartsGood.store(5);
        changed.clear();
        kin->throwCode = KinematicError::OutOfReach;

        int code = 0;
        try {
            c.set();
        } catch (int thrown) {
            code = thrown;
        }
        EXPECT_EQ(code, 22);
        EXPECT_TRUE(changed.empty());
        EXPECT_EQ(log->PartsGood.load(), 5);
        EXPECT_TRUE(FinishesWithin([&] { memory.SetVariableSingle("probe", 1.0, true); }))
            << "lock still held";

        const MemoryPosition v = memory.GetVariable(c.name);
        EXPECT_FLOAT_EQ(v.state.pose.m[3], 900.0f);  // new Cartesian value kept
        if (std::string(c.what) == "SetVariablePosCart") {
            EXPECT_FLOAT_EQ(v.state.jointSet[0], 1.0f);  // previous joints kept
        }
    }
    log->PartsGood.store(0);
}

// The all-or-nothing setter: a failed solve leaves every field as it was and tells no
// one; a solved one stores the result and tells once; an unknown name is reported.
TEST_F(ProgramMemoryTest, ReplaceVariablePosStoresOnlyASolvedPosition) {
    FakeKinematic* kin = AttachKinematic();
    memory.SetVariablePosJoint("mb_pos_w1", 1, 2, 3, 0, 0, 0, 0, 0, 0, false);
    const MemoryPosition before = memory.GetVariable("mb_pos_w1");
    changed.clear();

    kin->throwCode = KinematicError::OutOfReach;
    int code = 0;
    try {
        memory.ReplaceVariablePos("mb_pos_w1", PositionState(900, 0, 0, 0), Programs::ContentCartesian);
    } catch (int thrown) {
        code = thrown;
    }
    EXPECT_EQ(code, 22);
    EXPECT_TRUE(changed.empty());
    const MemoryPosition kept = memory.GetVariable("mb_pos_w1");
    EXPECT_TRUE(kept.state.pose.Equals(before.state.pose, 0.0f));
    for (int j = 0; j < 9; ++j) EXPECT_EQ(kept.state.jointSet[j], before.state.jointSet[j]) << j;

    kin->throwCode = 0;
    EXPECT_TRUE(memory.ReplaceVariablePos("MB_POS_W1", PositionState(7, 8, 9, 0), Programs::ContentCartesian));
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_NEAR(changed[0].state.jointSet[1], 8.0f, 1e-4);
    EXPECT_NEAR(memory.GetVariable("mb_pos_w1").state.jointSet[2], 9.0f, 1e-4);
    // The same position again is no change.
    EXPECT_TRUE(memory.ReplaceVariablePos("mb_pos_w1", PositionState(7, 8, 9, 0), Programs::ContentCartesian));
    EXPECT_EQ(changed.size(), 1u);

    RobotState joints;
    joints.jointSet[0] = 4.0f;
    EXPECT_TRUE(memory.ReplaceVariablePos("mb_pos_w1", joints, Programs::ContentJoints));
    EXPECT_NEAR(memory.GetVariable("mb_pos_w1").state.pose.m[3], 4.0f, 1e-4);
    EXPECT_EQ(changed.size(), 2u);

    EXPECT_FALSE(memory.ReplaceVariablePos("nothere", joints, Programs::ContentJoints));
    EXPECT_FALSE(memory.HasVariable("nothere"));
}

TEST_F(ProgramMemoryTest, ConversionsBeforeTheKinematicIsSetThrowRuntimeError) {
    const std::function<void()> setters[] = {
        [&] { memory.SetVariablePosCart("mb_pos_w1", 1, 2, 3, 0, 0, 0, 0, 0, 0, false); },
        [&] { memory.SetVariablePosJoint("mb_pos_w1", 1, 2, 3, 0, 0, 0, 0, 0, 0, false); },
        [&] { memory.SetVariable(MemoryPosition("x", RobotState(), false), Programs::ContentJoints); },
        [&] { memory.SetVariablePos("#position", RobotState(), true, Programs::ContentCartesian); },
    };
    for (const auto& set : setters) {
        try {
            set();
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("ProgramMemory: cannot compute"), std::string::npos)
                << e.what();
        }
        EXPECT_TRUE(FinishesWithin([&] { memory.HasVariable("#position"); })) << "lock still held";
    }
    EXPECT_TRUE(changed.empty());

    // A kinematic without the live state still cannot solve inverse kinematics.
    memory.SetKinematic(std::make_unique<FakeKinematic>());
    EXPECT_THROW(memory.SetVariablePosCart("mb_pos_w1", 1, 2, 3, 0, 0, 0, 0, 0, 0, false),
                 std::runtime_error);
    EXPECT_NO_THROW(memory.SetVariablePosJoint("mb_pos_w1", 1, 2, 3, 0, 0, 0, 0, 0, 0, false));
}

TEST_F(ProgramMemoryTest, CallbackRunsAfterTheLockIsReleased) {
    int seen = 0;
    memory.changeCallback = [&](const MemoryPosition& v) {
        // Calling back into the store would block if the lock were still held.
        seen += static_cast<int>(memory.GetVariable(v.name).value);
        memory.SetMatrixDefinition("fromcallback", MatrixDefinition(2, 2), false);
    };
    EXPECT_TRUE(FinishesWithin([&] {
        memory.SetVariableSingle("reentrant", 4.0, true);
        memory.SetVariable(MemoryPosition("reentrant", 6.0, false), Programs::ContentNumber);
    }));
    EXPECT_EQ(seen, 10);
    EXPECT_TRUE(memory.HasMatrixDefinition("FromCallback"));
}

TEST_F(ProgramMemoryTest, RunStateVariablesChangeOnlyOnNewValues) {
    struct Case {
        std::function<void(bool)> notify;
        const char* name;
    };
    const Case cases[] = {
        {[&](bool r) { memory.OnProgramRunStateChanged(r); }, "#programrunning"},
        {[&](bool r) { memory.OnLogicProgramRunStateChanged(r); }, "#logicprogramrunning"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        changed.clear();
        c.notify(false);
        EXPECT_TRUE(changed.empty());
        c.notify(true);
        c.notify(true);
        ASSERT_EQ(changed.size(), 1u);
        EXPECT_EQ(changed[0].name, c.name);
        EXPECT_DOUBLE_EQ(memory.GetVariable(c.name).value, 1.0);
        c.notify(false);
        EXPECT_EQ(changed.size(), 2u);
        EXPECT_DOUBLE_EQ(memory.GetVariable(c.name).value, 0.0);
    }
}

TEST_F(ProgramMemoryTest, RunStateNotificationSwallowsCallbackFailures) {
    memory.changeCallback = [](const MemoryPosition&) {
        throw std::runtime_error("client gone");
    };
    EXPECT_NO_THROW(memory.OnProgramRunStateChanged(true));
    EXPECT_DOUBLE_EQ(memory.GetVariable("#programrunning").value, 1.0);
}

TEST_F(ProgramMemoryTest, OnPoseChangedReplacesTheWholeStateSilently) {
    RobotState s = PositionState(3, 4, 5, 10);
    s.override = 80.0f;
    s.jointAct[1] = 2.0f;
    memory.OnPoseChanged(s);
    EXPECT_TRUE(changed.empty());
    const MemoryPosition v = memory.GetVariable("#position");
    EXPECT_FLOAT_EQ(v.state.override, 80.0f);
    EXPECT_FLOAT_EQ(v.state.jointAct[1], 2.0f);
    EXPECT_FLOAT_EQ(v.state.pose.m[7], 4.0f);
}

TEST_F(ProgramMemoryTest, MatricesAreCopiedAndReplacedByLowerCaseName) {
    MatrixDefinition d(3, 4);
    d.deltaAB = DataTypes::Vector3(100, 0, 0);
    d.stepX = 0.5;
    d.cornerA = PositionState(1, 2, 3, 0);
    memory.SetMatrixDefinition("Pallet", d, false);
    d.deltaAB.x = -1;  // the store keeps its own copy
    MatrixDefinition got = memory.GetMatrixDefinition("PALLET");
    EXPECT_FLOAT_EQ(got.deltaAB.x, 100.0f);
    EXPECT_EQ(got.CntX, 3);
    EXPECT_DOUBLE_EQ(got.stepX, 0.5);
    EXPECT_FLOAT_EQ(got.cornerA.pose.m[11], 3.0f);

    memory.SetMatrixDefinition("pallet", MatrixDefinition(5, 6), true);
    EXPECT_EQ(memory.GetMatrixDefinition("Pallet").CntX, 5);
    memory.Clear();
    EXPECT_TRUE(memory.HasMatrixDefinition("pallet"));  // the replacement was static
    EXPECT_TRUE(changed.empty());                        // matrices never notify
}

// Run under ThreadSanitizer in CI: the robot loop's 1 kHz "#position" writer, four client
// threads reading and writing, and one thread clearing, all at once for about a second.
TEST(ProgramMemoryConcurrent, WritersReadersAndClearRunTogether) {
    ProgramMemory memory;
    RobotState live;
    memory.SetKinematic(std::make_unique<FakeKinematic>());
    memory.SetRobotState(&live);
    std::atomic<int> callbacks{0};
    memory.changeCallback = [&](const MemoryPosition& v) {
        if (!v.name.empty()) {
            callbacks.fetch_add(1);
        }
    };

    std::atomic<bool> stop{false};
    std::atomic<int> tornReads{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {  // robot loop
        RobotState s;
        for (int cycle = 0; !stop.load(); ++cycle) {
            const float v = static_cast<float>(cycle % 1000);
            s.pose.SetTranslation(v, v, v);
            for (float& j : s.jointSet) {
                j = v;
            }
            memory.SetVariablePos("#position", s, true, Programs::ContentUnchanged);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const std::string own = "client" + std::to_string(t);
            for (int i = 0; !stop.load(); ++i) {
                const MemoryPosition p = memory.GetVariable("#POSITION");
                if (p.state.pose.m[3] != p.state.jointSet[8]) {
                    tornReads.fetch_add(1);
                }
                std::shared_ptr<const MemoryPosition> q = memory.Get("#position");
                if (q && q->state.pose.m[7] != q->state.jointSet[0]) {
                    tornReads.fetch_add(1);
                }
                memory.SetVariableSingle(own, i, true);
                memory.SetVariable(MemoryPosition("mb_num_w" + std::to_string(t + 1), i, false),
                                   Programs::ContentNumber);
                memory.SetVariablePosJoint("mb_pos_r" + std::to_string(t + 1), i % 90, 0, 0, 0, 0,
                                           0, 0, 0, 0, false);
                memory.GetVariableType(own);
                memory.HasMatrixDefinition("grid");
                if (i % 50 == 0) {
                    memory.SetMatrixDefinition("grid", MatrixDefinition(2, 2), false);
                }
            }
        });
    }
    threads.emplace_back([&] {
        while (!stop.load()) {
            memory.Clear();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });

    std::this_thread::sleep_for(std::chrono::seconds(1));
    stop.store(true);
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(tornReads.load(), 0);
    EXPECT_GT(callbacks.load(), 0);
    // The static variables outlive every Clear, in their order.
    const std::vector<std::string> names = memory.GetVariableNames();
    ASSERT_GE(names.size(), 69u);
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 69), ExpectedNames());
}

}  // namespace
