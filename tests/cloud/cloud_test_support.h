#pragma once

// Shared pieces of the cloud tests: a hardware protocol that answers the telemetry's
// questions from settable values, and a client fixture with the test broker, its CA in the
// data root and the broker URI in the environment.

#include "TestBroker.h"
#include "cloud/MqttClient.h"
#include "control/RobotMaster.h"
#include "control/RobotMasterPort.h"
#include "core/DeviceIdentity.h"
#include "core/LogSingleton.h"
#include "hardware/HardwareProtocol.h"
#include "testsupport/PlanarKinematic.h"
#include "testsupport/TestSupport.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace CloudTest {

// Answers from settable values; safe to change while the updater reads.
class TelemetryProtocol : public Hardware::HardwareProtocol {
public:
    TelemetryProtocol() : HardwareProtocol(nullptr) {}
    void GetError(std::string& t, std::string& c) override {
        std::lock_guard<std::mutex> guard(mutex);
        t = text;
        c = code;
    }
    void GetError(std::string* perModule) override {
        std::lock_guard<std::mutex> guard(mutex);
        for (size_t i = 0; i < modules.size() && i < 16; ++i) perModule[i] = modules[i];
    }
    void GetTempValues(float* perModule) override {
        std::lock_guard<std::mutex> guard(mutex);
        if (throwOnTemperatures) throw std::runtime_error("temperature sensor gone");
        for (size_t i = 0; i < temperatures.size() && i < 16; ++i) perModule[i] = temperatures[i];
    }
    // Before the protocol is shared with other threads.
    void SetCounts(int robot, int gripper, int external, int platform, int dio) {
        ResizeRole(ModuleRole::RobotJoint, robot);
        ResizeRole(ModuleRole::Gripper, gripper);
        ResizeRole(ModuleRole::ExternalAxis, external);
        ResizeRole(ModuleRole::Platform, platform);
        ResizeRole(ModuleRole::DIO, dio);
    }
    void SetStatus(const std::string& t, const std::string& c) {
        std::lock_guard<std::mutex> guard(mutex);
        text = t;
        code = c;
    }

    std::mutex mutex;
    std::string text, code;
    std::vector<std::string> modules;
    std::vector<float> temperatures;
    bool throwOnTemperatures = false;
};

// A robot master with the telemetry protocol, a planar kinematic of type "Arms/Pivra4"
// and a main interpreter that can load programs from the data root.
class MasterFixture {
public:
    MasterFixture() {
        auto owned = std::make_unique<TelemetryProtocol>();
        protocol = owned.get();
        master.SetHardwareProtocol(std::move(owned));
        auto kinematic = std::make_unique<TestSupport::PlanarKinematic>();
        kinematic->robotType = "Arms/Pivra4";
        RobotMasterTestAccess::Kinematic(master) = std::move(kinematic);
        IPO& ipo = master.GetMainInterpreter();
        ipo.InitPathGen(PATHGEN_JOINT, 100.0f, 10.0f, 3);
        // The loader asks the planner's kinematic for the joint count.
        if (ipo.GetPathGenerator()) ipo.GetPathGenerator()->SetKinematic(std::make_unique<TestSupport::PlanarKinematic>());
        programs = LogSingleton::instance()->get_rootPath() + "Data/Programs/";
    }
    ~MasterFixture() {
        master.GetMainInterpreter().DeleteAll();
        std::error_code ec;
        std::filesystem::remove_all(programs, ec);
    }
    void WriteProgram(const std::string& name, const std::string& body) {
        std::filesystem::create_directories(std::filesystem::path(programs + name).parent_path());
        std::ofstream(programs + name) << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Program>\n" << body
                                       << "</Program>\n";
    }

    RobotMaster master;
    Control::RobotMasterPort port{master, nullptr};
    TelemetryProtocol* protocol = nullptr;
    std::string programs;
};

constexpr const char* kTestIdentity = "0123456789abcdef-test-identity";
constexpr const char* kTestClientId = "robot-under-test";

inline std::string CaPathInRoot() { return LogSingleton::instance()->get_rootPath() + Cloud::MqttClient::kCaFileName; }

// The test broker, its CA as the client's CA file, the URI in the environment, a fixed
// device identity and a configured (not yet enabled) client.
class BrokerTest : public ::testing::Test {
protected:
    virtual TestBroker::Options BrokerOptions() { return {}; }

    void SetUp() override {
        const std::string missing = MissingBrokerTools();
        if (!missing.empty()) GTEST_SKIP() << missing;
        broker = std::make_unique<TestBroker>(BrokerOptions());
        ASSERT_TRUE(broker->Start()) << broker->error;
        std::filesystem::copy_file(broker->CaFile(), CaPathInRoot(),
                                   std::filesystem::copy_options::overwrite_existing);
        setenv(Cloud::MqttClient::kUriEnvironment, broker->Uri().c_str(), 1);
        DeviceIdentity::SetDeviceIdOverride(kTestIdentity);
        LogSingleton::instance()->set_softwareVersion("V980-13-030", 980, 13);
        robot.protocol->SetCounts(3, 1, 1, 0, 1);
        robot.protocol->SetStatus("Status: No_Error", "NoError");
        client = std::make_unique<Cloud::MqttClient>(&robot.port);
        client->SetClientId(kTestClientId);
        client->SetCredentials(broker->user, broker->password);
        client->SetRobotName("Arm 1");
        client->SetRobotOwner("Cell 7");
    }
    void TearDown() override {
        client.reset();
        unsetenv(Cloud::MqttClient::kUriEnvironment);
        DeviceIdentity::SetDeviceIdOverride("");
        std::error_code ec;
        std::filesystem::remove(CaPathInRoot(), ec);
    }

    std::string Base() const { return "user/" + broker->user + "/robot/" + kTestClientId; }
    bool WaitConnected(int ms = 30000) {
        return AppTest::WaitUntil([&] { return client->IsConnected(); }, ms);
    }

    MasterFixture robot;
    std::unique_ptr<TestBroker> broker;
    std::unique_ptr<Cloud::MqttClient> client;
};

}  // namespace CloudTest
