#pragma once

// Shared by the interpreter tests: a small six-axis stand-in kinematic, an interpreter
// set up as the robot master would, the program fixtures copied below the data root,
// and recorders for result events and server messages.

#include "core/LogSingleton.h"
#include "kinematics/RobotKinematic.h"
#include "program/IPO.h"
#include "program/ProgramMemory.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace IpoTest {

// Pose translation = joints a1..a3; no limits.
class TestKinematic : public RobotKinematic {
public:
    TestKinematic() {
        nrOfJoints = 6;
        nrOfExtJoints = 3;
    }
    std::unique_ptr<RobotKinematic> clone() const override {
        auto copy = std::make_unique<TestKinematic>();
        copy->nrOfJoints = nrOfJoints;
        copy->nrOfExtJoints = nrOfExtJoints;
        return copy;
    }
    void SetJoints(const float* joints, bool /*check*/) override {
        for (int j = 0; j < maxJoints; ++j) currentJoints[j] = joints[j];
        currentPosition.SetTranslation(DataTypes::Vector3(joints[0], joints[1], joints[2]));
    }
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override {
        joints[0] = target(0, 3);
        joints[1] = target(1, 3);
        joints[2] = target(2, 3);
        SetJoints(joints, false);
    }
};

inline std::string ProgramsDir() { return LogSingleton::instance()->get_rootPath() + "Data/Programs/"; }

inline std::string FixturesDir() { return std::string(BELVANTO_FIXTURES_DIR) + "/programs"; }

// Writes a file below Data/Programs/ through a temporary name, so a reader never sees
// half of it.
inline void WriteProgram(const std::string& relative, const std::string& content) {
    const std::filesystem::path target = ProgramsDir() + relative;
    std::filesystem::create_directories(target.parent_path());
    const std::filesystem::path temporary = target.string() + ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << content;
    }
    std::filesystem::rename(temporary, target);
}

// Copies tests/fixtures/programs below Data/Programs/.
inline void CopyFixtures() {
    const std::filesystem::path source = FixturesDir();
    for (const auto& entry : std::filesystem::recursive_directory_iterator(source)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        WriteProgram(std::filesystem::relative(entry.path(), source).string(), content);
    }
}

// The robot the fixtures' headers were written for.
inline void SetFixtureRobot() {
    LogSingleton* log = LogSingleton::instance();
    log->set_softwareVersion("V980-13-030", 13, 30);
    log->set_robotType("Robots/SixAxis");
    log->set_robotName("TestBot");
    log->set_robotGripper("Standard");
}

// An interpreter as the robot master sets it up: memory, joint-space planner with its
// own kinematic, limits.
inline std::unique_ptr<IPO> MakeIpo(Programs::ProgramMemory* memory, IPO::IpoType type = IPO::IPO_MAIN,
                                    PathGenType generator = PATHGEN_JOINT) {
    auto ipo = std::make_unique<IPO>(type);
    ipo->SetMemory(memory);
    ipo->InitPathGen(generator, 1.0f, 1.0f, 5);
    ipo->GetPathGenerator()->SetKinematic(std::make_unique<TestKinematic>());
    float vel[9], acc[9], jerk[9];
    for (int j = 0; j < 9; ++j) {
        vel[j] = 90.0f;
        acc[j] = 300.0f;
        jerk[j] = 1000.0f;
    }
    ipo->InitJointMaxValues(vel, acc, jerk, 250.0f, 1000.0f, 3000.0f, 180.0, 1000.0, 3000.0);
    ipo->SetVelocitySetting(1);
    return ipo;
}

// A memory whose position conversions go through the stand-in kinematic.
struct Memory {
    DataTypes::RobotState state;
    Programs::ProgramMemory memory;
    Memory() {
        memory.SetKinematic(std::make_unique<TestKinematic>());
        memory.SetRobotState(&state);
    }
};

inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 10000) {
    return TestSupport::WaitUntil(condition, timeoutMs, 1);
}

struct Event {
    HVPEventType type;
    int point;
    int program;
    std::string text;
};

// Result events of every interpreter whose callback is Record.
class EventLog {
public:
    static void Record(HVPEventType type, int point, int program, const std::string& text) {
        std::lock_guard<std::mutex> lock(Mutex());
        Events().push_back(Event{type, point, program, text});
    }
    static std::vector<Event> Take() {
        std::lock_guard<std::mutex> lock(Mutex());
        std::vector<Event> out;
        out.swap(Events());
        return out;
    }

private:
    static std::mutex& Mutex() {
        static std::mutex m;
        return m;
    }
    static std::vector<Event>& Events() {
        static std::vector<Event> e;
        return e;
    }
};

// Server (and display) messages while it lives.
class ServerMessages {
public:
    ServerMessages() {
        LogSingleton::instance()->SetServerMessageCallback([this](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex_);
            texts_.push_back(text);
        });
    }
    ~ServerMessages() { LogSingleton::instance()->SetServerMessageCallback(nullptr); }
    ServerMessages(const ServerMessages&) = delete;
    ServerMessages& operator=(const ServerMessages&) = delete;
    std::vector<std::string> Texts() {
        std::lock_guard<std::mutex> lock(mutex_);
        return texts_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> texts_;
};

}  // namespace IpoTest
