#pragma once

// A controller configured from files for the CONFIG messages: a four-joint gantry robot
// file and a project below the test's data root, opened by a project manager that writes
// back at once when forced, and an HVP manager on a free loopback port. Each message is
// followed by a forced project write, so a test compares both files after it.

#include "../control/robot_master_support.h"
#include "control/CameraLinks.h"
#include "control/ProjectManager.h"
#include "control/RobotMaster.h"
#include "control/RobotMasterPort.h"
#include "core/LogSingleton.h"
#include "remote/ComServerManager.h"
#include "testsupport/HvpTestClient.h"
#include "testsupport/TestSupport.h"
#include "vision/CameraManager.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace ConfigTest {

using TestSupport::HvpTestClient;

constexpr int kWaitMs = 10000;

// The three-joint base robot with a fourth axis: slots 0..3 robot joints, 6..8 external.
inline std::string FourJointRobotXml() {
    std::string xml = ControlTest::BaseRobotXml();
    xml = ControlTest::Edit(xml, "<Joints NrOfJoints=\"3\"/>", "<Joints NrOfJoints=\"4\"/>");
    xml = ControlTest::Edit(xml, "lz=\"200\"/>", "lz=\"200\" FourthAxis=\"true\"/>");
    xml = ControlTest::Edit(xml, "A3Max=\"300\"/>", "A3Max=\"300\" A4Min=\"-170\" A4Max=\"170\"/>");
    return xml;
}

inline std::string ProjectXml() {
    return "<?xml version=\"1.0\"?>\n"
           "<ProjectFile>\n"
           "    <Robot Name=\"CfgCell\" Type=\"CfgTest/Gantry4\" Tool=\"\" VelocitySetting=\"0\"/>\n"
           "    <Program File=\"\" Override=\"40\" Repeat=\"False\" FileLogic=\"\" DefaultState=\"0\"/>\n"
           "    <VirtualBox active=\"False\" xMin=\"-1\" xMax=\"1\" yMin=\"-1\" yMax=\"1\" zMin=\"0\" zMax=\"1\"/>\n"
           "    <PLCInterface Active=\"false\" AutoConnect=\"false\"/>\n"
           "    <PLCInterfaceIn EnableNumber=\"1\" PlayNumber=\"2\"/>\n"
           "    <PLCInterfaceOut NoFaultNumber=\"10\"/>\n"
           "    <Cameras/>\n"
           "    <Environment>\n"
           "        <ModbusServer Active=\"False\" Port=\"502\" MaxConnections=\"5\"/>\n"
           "        <Cloud Active=\"False\" Credentials=\"\" ClientID=\"cell\" RobotName=\"\" RobotOwner=\"\"/>\n"
           "    </Environment>\n"
           "</ProjectFile>\n";
}

// Records what the CONFIG messages ask of the Modbus server.
class RecordingModbusServer : public AppLinks::ModbusServer {
public:
    void Stop() override { ++stops; }
    void Restart() override { ++restarts; }
    int stops = 0;
    int restarts = 0;
};

class ConfigServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = LogSingleton::instance()->get_rootPath();
        if (root != std::filesystem::current_path().string() + "/") {
            GTEST_SKIP() << "data root " << root << " is not the working folder";
        }
        ControlTest::WriteText(RobotPath(), FourJointRobotXml());
        ControlTest::WriteText(ProjectPath(), ProjectXml());
        ControlTest::WriteText(root + "JXRFrontend.xml",
                               "<?xml version=\"1.0\"?>\n<JXRModule>\n    <StartUp Project=\"Data/Projects/cfg.prj\"/>\n"
                               "</JXRModule>\n");
        Camera::CameraManager::Instance().Clear();
        project = std::make_unique<ProjectManager>(cloud);
        project->SetModbus(modbusSettings);
        project->SetCameras(&cameras);
        ASSERT_EQ(project->OpenProject(&robot), 0);
        ASSERT_NE(robot.GetKinematic(), nullptr);
        ASSERT_EQ(robot.GetKinematic()->nrOfJoints, 4);
        project->SetWriteDelayMs(0);
        // Both files in their written form, so that an untouched file stays byte-identical.
        robot.QueueUpdateRobotFile();
        project->QueueUpdateProjectFile();
        project->UpdateConfiguration(&robot, true);

        manager = std::make_unique<ComServerManager>(0);
        controller = std::make_unique<Control::RobotMasterPort>(robot, project.get());
        manager->Init(controller.get(), project.get(), cloud);
        manager->SetModbus(modbusServer, modbusSettings);
        manager->Start();
        ASSERT_TRUE(manager->WaitListening(kWaitMs));
    }

    void TearDown() override {
        clients.clear();
        if (manager) manager->Stop();
        manager.reset();
        Camera::CameraManager::Instance().Clear();
        LogSingleton::instance()->set_robotGripper("");
        std::error_code ec;
        if (!root.empty()) {
            std::filesystem::remove_all(root + "Data/Robots", ec);
            std::filesystem::remove_all(root + "Data/Projects", ec);
            std::filesystem::remove_all(root + "Data/Tools", ec);
            std::filesystem::remove(root + "JXRFrontend.xml", ec);
        }
    }

    std::string RobotPath() const { return root + "Data/Robots/CfgTest/Gantry4/Gantry4.xml"; }
    std::string ProjectPath() const { return root + "Data/Projects/cfg.prj"; }

    // A new client, once the manager lists it as connected (the first is active).
    HvpTestClient& Connect() {
        const std::size_t before = manager->ConnectionCount();
        clients.push_back(std::make_unique<HvpTestClient>());
        HvpTestClient& client = *clients.back();
        EXPECT_TRUE(client.Connect(manager->GetPort()));
        EXPECT_TRUE(ControlTest::WaitFor(
            [&] {
                const auto list = manager->Connections();
                return list.size() == before + 1 && list.back()->IsConnected();
            },
            kWaitMs));
        return client;
    }
    HvpTestClient& Active() { return clients.empty() ? Connect() : *clients.front(); }
    // A second client, which the manager makes passive.
    HvpTestClient& Passive() {
        Active();
        HvpTestClient& client = Connect();
        EXPECT_FALSE(manager->Connections().back()->IsActive());
        return client;
    }

    // Sends "CONFIG <body>" and a marker; returns the payloads that came before the
    // marker's reply, then writes a pending project change.
    std::vector<std::string> Send(HvpTestClient& client, const std::string& body) {
        std::vector<std::string> payloads;
        EXPECT_TRUE(client.Send(77, "CONFIG " + body));
        EXPECT_TRUE(client.Send(78, "CMD GetVersion"));
        HvpTestClient::Frame frame;
        bool marker = false;
        while (client.ReadFrame(frame, kWaitMs)) {
            if (frame.payload == "INFO Version Belvanto 16") {
                marker = true;
                break;
            }
            // Pushed telegrams are not replies.
            if (frame.payload.rfind("CMD Active", 0) == 0 || frame.payload.rfind("MESSAGE", 0) == 0) continue;
            payloads.push_back(frame.payload);
        }
        EXPECT_TRUE(marker) << "no reply to the marker after " << body;
        project->UpdateConfiguration(&robot, true);
        return payloads;
    }
    std::vector<std::string> Send(const std::string& body) { return Send(Active(), body); }
    // The one reply of a Get.
    std::string Get(const std::string& keyword) {
        const std::vector<std::string> replies = Send(keyword);
        EXPECT_EQ(replies.size(), 1u) << keyword;
        return replies.empty() ? std::string() : replies.front();
    }

    // Every Get keyword's replies in one list: what the CONFIG messages show of the state.
    static const std::vector<std::string>& GetKeywords() {
        static const std::vector<std::string> keywords = {
            "GetDIOModules",   "GetDOutDefaults", "GetBrake",           "GetProgramDefaultState",
            "GetKinematicLimits", "GetVBox",      "GetTool",            "GetPLCInterface",
            "GetPLCInterfaceEnabled", "GetPLCTriggers", "GetCameras",   "GetExternalAxes",
            "GetExternalAxes2", "GetModbus",      "GetCloud"};
        return keywords;
    }
    std::vector<std::string> AllGets(HvpTestClient& client) {
        std::vector<std::string> replies;
        for (const std::string& keyword : GetKeywords()) {
            const std::vector<std::string> some = Send(client, keyword);
            EXPECT_FALSE(some.empty()) << keyword << " was not answered";
            for (const std::string& reply : some) {
                EXPECT_EQ(reply.rfind("CONFIG ", 0), 0u) << keyword << ": " << reply;
                replies.push_back(reply);
            }
        }
        return replies;
    }

    struct Files {
        std::string robot;
        std::string project;
        bool operator==(const Files& o) const { return robot == o.robot && project == o.project; }
    };
    Files Snapshot() const {
        return Files{TestSupport::ReadWholeFile(RobotPath()), TestSupport::ReadWholeFile(ProjectPath())};
    }

    // Attribute of the first element of that name (searched through the whole file).
    static std::string Attribute(const std::string& path, const char* element, const char* attribute) {
        tinyxml2::XMLDocument doc;
        if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) return "<unreadable>";
        const tinyxml2::XMLElement* e = Find(doc.RootElement(), element);
        const char* value = e != nullptr ? e->Attribute(attribute) : nullptr;
        return value != nullptr ? value : "<none>";
    }
    std::string RobotAttribute(const char* element, const char* attribute) const {
        return Attribute(RobotPath(), element, attribute);
    }
    std::string ProjectAttribute(const char* element, const char* attribute) const {
        return Attribute(ProjectPath(), element, attribute);
    }
    // Every element of that name in the project file, as "attr=value ..." lines.
    std::vector<const tinyxml2::XMLElement*> ProjectElements(tinyxml2::XMLDocument& doc, const char* name) const {
        std::vector<const tinyxml2::XMLElement*> found;
        if (doc.LoadFile(ProjectPath().c_str()) != tinyxml2::XML_SUCCESS) return found;
        Collect(doc.RootElement(), name, found);
        return found;
    }

    static const tinyxml2::XMLElement* Find(const tinyxml2::XMLElement* e, const char* name) {
        for (; e != nullptr; e = e->NextSiblingElement()) {
            if (std::string(e->Name()) == name) return e;
            if (const tinyxml2::XMLElement* inner = Find(e->FirstChildElement(), name)) return inner;
        }
        return nullptr;
    }
    static void Collect(const tinyxml2::XMLElement* e, const char* name,
                        std::vector<const tinyxml2::XMLElement*>& out) {
        for (; e != nullptr; e = e->NextSiblingElement()) {
            if (std::string(e->Name()) == name) out.push_back(e);
            Collect(e->FirstChildElement(), name, out);
        }
    }

    std::string root;
    RobotMaster robot;
    ProjectLinks::StoredCloudSettings storedCloud;
    ProjectLinks::StoredModbusSettings storedModbus;
    RecordingModbusServer recordingModbus;
    // What the manager and the project use; a test may point them elsewhere before SetUp.
    ProjectLinks::CloudSettings* cloud = &storedCloud;
    AppLinks::ModbusServer* modbusServer = &recordingModbus;
    ProjectLinks::ModbusSettings* modbusSettings = &storedModbus;
    CameraManagerLink cameras;
    std::unique_ptr<ProjectManager> project;
    std::unique_ptr<Control::RobotMasterPort> controller;
    std::unique_ptr<ComServerManager> manager;
    std::vector<std::unique_ptr<HvpTestClient>> clients;
};

}  // namespace ConfigTest
