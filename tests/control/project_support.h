#pragma once

// A data root for project tests: the front-end file, the project files of
// tests/fixtures/projects under Data/Projects, and the robot file of "ProjTest/Gantry".

#include "control/ProjectManager.h"
#include "robot_master_support.h"

#include <filesystem>
#include <string>

namespace ControlTest {

inline std::string ProjectFixture(const std::string& name) {
    return TestSupport::ReadWholeFile(std::string(BELVANTO_FIXTURES_DIR) + "/projects/" + name);
}

class ProjectTest : public RobotFileTest {
protected:
    void SetUp() override {
        RobotFileTest::SetUp();
        if (IsSkipped()) return;
        WriteRobot("ProjTest/Gantry", BaseRobotXml());
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove(root + "JXRFrontend.xml", ec);
        std::filesystem::remove_all(root + "Data/Projects", ec);
        RobotFileTest::TearDown();
    }
    void WriteFrontend(const std::string& xml) { WriteText(root + "JXRFrontend.xml", xml); }
    void WriteFrontendFor(const std::string& project) {
        WriteFrontend("<?xml version=\"1.0\"?>\n<JXRModule>\n    <StartUp Project=\"" + project +
                      "\"/>\n</JXRModule>\n");
    }
    // Writes text as Data/Projects/<name>; returns its absolute path.
    std::string WriteProject(const std::string& name, const std::string& text) {
        const std::string path = root + "Data/Projects/" + name;
        WriteText(path, text);
        return path;
    }
};

}  // namespace ControlTest
