#include "control/CameraLinks.h"

#include "vision/CameraManager.h"

#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <tinyxml2.h>

#include <string>

namespace {

// The link works on the process-wide camera manager; each test leaves it empty.
class CameraLinksTest : public ::testing::Test {
protected:
    void TearDown() override { Camera::CameraManager::Instance().Clear(); }
    CameraManagerLink link;
};

TEST_F(CameraLinksTest, ProjectElementBuildsTheCamerasAndWritesThemBack) {
    const char* cameras =
        "<Cameras><HwCamera Type=\"Sim\" Name=\"Sim\" X=\"250\" Y=\"0\" Z=\"100\" A=\"0\" B=\"0\" C=\"180\" "
        "ImageEnabled=\"False\"/></Cameras>";
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.Parse(cameras), tinyxml2::XML_SUCCESS);
    ASSERT_EQ(link.Settings(), static_cast<ProjectLinks::CameraSettings*>(&link));
    link.Settings()->Read(*doc.RootElement());
    EXPECT_EQ(Camera::CameraManager::Instance().Count(), 1u);
    EXPECT_EQ(link.GetCLIStateString(), "   Cam: CONNECTED Pos (250.0, 0.0, 100.0), Ori (0.0, 0.0, 180.0) Mod 1");

    tinyxml2::XMLDocument out;
    tinyxml2::XMLElement* written = link.Settings()->Write(out);
    ASSERT_NE(written, nullptr);
    out.InsertEndChild(written);
    tinyxml2::XMLPrinter printer(nullptr, true);
    out.Print(&printer);
    EXPECT_STREQ(printer.CStr(), cameras);
}

TEST_F(CameraLinksTest, EachPassBuildsTheLinesThatClientsTake) {
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.Parse("<Cameras><HwCamera Type=\"Sim\" Name=\"Sim\" A=\"270\"/></Cameras>"), tinyxml2::XML_SUCCESS);
    link.Read(*doc.RootElement());
    Camera::CameraManager::HVPLineCursor cursor;
    EXPECT_TRUE(Camera::CameraManager::Instance().TakeNewHVPLines(cursor).empty());
    link.ProduceHVPLines();
    const auto lines = Camera::CameraManager::Instance().TakeNewHVPLines(cursor);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(*lines[0], "CAMINFO CameraResult Sim Sim CONNECTED 0 0 0 -90 0 0 1");
}

TEST(CameraLinksDefault, TheNoOpLinkKeepsTheElementAsRead) {
    AppLinks::Cameras none;
    EXPECT_EQ(none.Settings(), nullptr);
    EXPECT_EQ(none.GetCLIStateString(), "");
    none.ProduceHVPLines();
}

}  // namespace
