#include "vision/CameraManager.h"

#include "core/LogSingleton.h"
#include "vision/CameraSimulated.h"
#include "vision/Imaging.h"

#include "camera_test_support.h"
#include "camerasim/CameraSim.h"
#include "testsupport/LoopbackListener.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <tinyxml2.h>

#include <atomic>
#include <list>
#include <memory>
#include <sstream>
#include <thread>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Records its start and stop calls into a journal shared with the test.
class FakeCamera : public Camera::CameraInterface {
public:
    FakeCamera(const std::string& name, std::shared_ptr<std::vector<std::string>> journal,
               const std::string& type = "Fake")
        : CameraInterface(type, name), journal(std::move(journal)) {}
    ~FakeCamera() override { journal->push_back("destroy " + name); }

    void Start() override { journal->push_back("start " + name); }
    void Stop() override { journal->push_back("stop " + name); }
    bool GetTargetPos(DataTypes::Vector3&, DataTypes::Vector3&, int&) const override { return false; }
    int Read(tinyxml2::XMLElement&) override { return 0; }
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument&) override { return nullptr; }
    std::string GetHVPConfigString(int) const override { return ""; }
    int GetStatus() const override { return 0; }

    std::shared_ptr<std::vector<std::string>> journal;
};

// A registry of its own for each test; the program uses the singleton.
class TestCameraManager : public Camera::CameraManager {};

class CameraManagerTest : public ::testing::Test {
protected:
    std::unique_ptr<FakeCamera> Make(const std::string& name) { return std::make_unique<FakeCamera>(name, journal); }

    std::shared_ptr<std::vector<std::string>> journal = std::make_shared<std::vector<std::string>>();
    TestCameraManager manager;
};

TEST(CameraLowerCase, EveryByteLowered) { EXPECT_EQ(Camera::toLower("Cam_A1 XY"), "cam_a1 xy"); }

TEST(CameraManagerSingleton, InstanceIsOneObject) {
    EXPECT_EQ(&Camera::CameraManager::Instance(), &Camera::CameraManager::Instance());
}

TEST_F(CameraManagerTest, AddStartsAndLogsAndGetIgnoresCase) {
    TestSupport::LogCapture log;
    manager.Add(Make("FrontCam"));
    EXPECT_EQ(*journal, (std::vector<std::string>{"start FrontCam"}));
    EXPECT_EQ(log.Count("Adding camera FrontCam"), 1) << log.Joined();
    EXPECT_EQ(log.Count("Camera FrontCam added"), 1);
    EXPECT_EQ(manager.Count(), 1u);

    for (const char* name : {"FRONTCAM", "frontcam", "FrontCam"}) {
        const auto camera = manager.Get(name);
        ASSERT_NE(camera, nullptr) << name;
        EXPECT_EQ(camera->name, "FrontCam");
        EXPECT_EQ(camera->typeId, "Fake");
    }
    {
        auto lock = manager.Lock();
        EXPECT_NE(manager.GetNoLock("FRONTcam"), nullptr);
    }
    EXPECT_EQ(manager.Get("backcam"), nullptr);
    manager.Add(nullptr);
    EXPECT_EQ(manager.Count(), 1u);
}

TEST_F(CameraManagerTest, AddingUnderATakenNameReleasesThePreviousCamera) {
    manager.Add(Make("Cam"));
    const auto first = manager.Get("cam");
    manager.Add(Make("CAM"));
    EXPECT_EQ(manager.Count(), 1u);
    EXPECT_EQ(manager.Get("cam")->name, "CAM");
    // The registry let go of the first one; its last user still holds it.
    EXPECT_EQ(first.use_count(), 1);
    EXPECT_EQ(*journal, (std::vector<std::string>{"start Cam", "start CAM"}));
}

TEST_F(CameraManagerTest, RemoveStopsTheCameraWhileAUserKeepsItAlive) {
    manager.Add(Make("A"));
    manager.Add(Make("B"));
    auto held = manager.Get("a");
    TestSupport::LogCapture log;
    manager.Remove("a");
    EXPECT_EQ(manager.Count(), 1u);
    EXPECT_EQ(manager.Get("A"), nullptr);
    EXPECT_EQ(journal->back(), "stop A");
    EXPECT_TRUE(log.Contains("Removing camera a")) << log.Joined();
    EXPECT_TRUE(log.Contains("Camera a removed"));
    held.reset();
    EXPECT_EQ(journal->back(), "destroy A");

    TestSupport::LogCapture quiet;
    const size_t before = journal->size();
    manager.Remove("nobody");
    EXPECT_EQ(journal->size(), before);
    EXPECT_EQ(manager.Count(), 1u);
    EXPECT_TRUE(quiet.Lines().empty()) << quiet.Joined();
}

TEST_F(CameraManagerTest, ClearStopsEveryCameraInNameOrderThenDropsThem) {
    manager.Add(Make("Zeta"));
    manager.Add(Make("alpha"));
    journal->clear();
    TestSupport::LogCapture log;
    manager.Clear();
    EXPECT_EQ(manager.Count(), 0u);
    // Stopped in order of the lower-case names, all before any is dropped.
    ASSERT_EQ(journal->size(), 4u);
    EXPECT_EQ((*journal)[0], "stop alpha");
    EXPECT_EQ((*journal)[1], "stop Zeta");
    EXPECT_EQ((std::set<std::string>(journal->begin() + 2, journal->end())),
              (std::set<std::string>{"destroy alpha", "destroy Zeta"}));
    const auto& lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u) << log.Joined();
    EXPECT_NE(lines[0].find("Clearing cameras"), std::string::npos);
    EXPECT_NE(lines[1].find("Cameras cleared"), std::string::npos);
}

// ------------------------------------------------------------------ project elements

// A registry with a clock the test moves.
class ClockedManager : public Camera::CameraManager {
public:
    std::int64_t now = 10'000'000;

protected:
    std::int64_t NowMs() const override { return now; }
};

std::string Printed(tinyxml2::XMLElement* element) {
    tinyxml2::XMLDocument doc;
    doc.InsertEndChild(element->DeepClone(&doc));
    tinyxml2::XMLPrinter printer(nullptr, true);
    doc.Print(&printer);
    return printer.CStr();
}

int ClosedPort() {
    TestSupport::LoopbackListener gone;
    return gone.Port();
}

TEST(CameraManagerProject, ReadBuildsTheKnownTypesAndLogsTheOthers) {
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.Parse(R"(<Cameras>
        <HwCamera Type="IFMO2D" Name="Front" Active="False" IP="127.0.0.1" Port="1"/>
        <HwCamera Type="USB" Name="Usb"/>
        <HwCamera Type="SolutionBinPicking" Name="Bin"/>
        <HwCamera Type="ifmo2d" Name="Lower"/>
        <HwCamera Name="NoType"/>
        <Other Type="Sim" Name="NotACamera"/>
        <HwCamera Type="Sim" Name="Sim1"/>
    </Cameras>)"),
              tinyxml2::XML_SUCCESS);
    ClockedManager manager;
    manager.Add(std::make_unique<Camera::CameraSimulated>("Old"));
    TestSupport::LogCapture log;
    manager.Read(doc.RootElement());
    EXPECT_EQ(manager.Count(), 3u);
    EXPECT_EQ(manager.Get("old"), nullptr);
    EXPECT_EQ(manager.Get("FRONT")->typeId, "IFMO2D");
    EXPECT_EQ(manager.Get("bin")->typeId, "SolutionBinPicking");
    EXPECT_EQ(manager.Get("sim1")->typeId, "Sim");
    EXPECT_TRUE(log.Contains("Camera manager: Could not read camera 'Usb': unknown type 'USB'")) << log.Joined();
    EXPECT_TRUE(log.Contains("Camera manager: Could not read camera 'Lower': unknown type 'ifmo2d'"));
    EXPECT_EQ(log.Count("Camera manager: Could not read camera, invalid tag"), 1);
    EXPECT_TRUE(log.Contains("Camera IFM O2D 'Front': Configuration loaded"));
    EXPECT_TRUE(log.Contains("Camera Sim1 added"));

    manager.Read(nullptr);
    EXPECT_EQ(manager.Count(), 0u);
    EXPECT_TRUE(manager.GetHVPResultStrings().empty());
    EXPECT_TRUE(manager.GetHVPImageStrings().empty());
    EXPECT_TRUE(manager.GetHVPConfigStrings().empty());
    EXPECT_EQ(manager.GetCLIStateString(), "");
    EXPECT_EQ(Printed(manager.Write(doc)), "<Cameras/>");
}

TEST(CameraManagerProject, ReadWriteReadGivesTheSameElements) {
    const std::string port = std::to_string(ClosedPort());
    const std::string cameras =
        "<Cameras>"
        "<HwCamera Type=\"SolutionBinPicking\" Name=\"Bin\" Active=\"False\" ImageEnabled=\"False\" Description=\"\" "
        "IP=\"10.0.0.9\" Port=\"7001\" OriginX=\"0\" OriginY=\"0\" OriginZ=\"0\" LookX=\"0\" LookY=\"0\" "
        "LookZ=\"-1\" UpX=\"0\" UpY=\"1\" UpZ=\"0\" ZDistance=\"0\"/>"
        "<HwCamera Type=\"IFMO2D\" Name=\"Front\" Active=\"True\" ImageEnabled=\"True\" Description=\"left side\" "
        "IP=\"127.0.0.1\" Port=\"" + port + "\" ScaleX=\"0.25\" ScaleY=\"0.5\" OriginX=\"100\" OriginY=\"-20.5\" "
        "OriginZ=\"300\" LookX=\"0\" LookY=\"0\" LookZ=\"1\" UpX=\"1\" UpY=\"0\" UpZ=\"0\" ZDistance=\"412.5\"/>"
        "<HwCamera Type=\"Sim\" Name=\"Sim1\" X=\"1\" Y=\"2\" Z=\"3\" A=\"270\" B=\"0\" C=\"-190\" "
        "ImageEnabled=\"True\"/>"
        "</Cameras>";
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.Parse(cameras.c_str()), tinyxml2::XML_SUCCESS);
    ClockedManager manager;
    manager.Read(doc.RootElement());
    ASSERT_EQ(manager.Count(), 3u);
    const std::string first = Printed(manager.Write(doc));
    EXPECT_EQ(first, cameras);

    tinyxml2::XMLDocument again;
    ASSERT_EQ(again.Parse(first.c_str()), tinyxml2::XML_SUCCESS);
    manager.Read(again.RootElement());
    EXPECT_EQ(Printed(manager.Write(again)), cameras);
    EXPECT_EQ(manager.GetHVPConfigStrings(),
              (std::list<std::string>{
                  "CONFIG Camera 3 SolutionBinPicking Bin False 10.0.0.9 7001 0.000 0.000 0.000 0.000 0.000 -1.000 "
                  "0.000 1.000 0.000 0.000 False",
                  "CONFIG Camera 3 IFMO2D Front True 127.0.0.1 " + port +
                      " 0.250 0.500 100.000 -20.500 300.000 0.000 0.000 1.000 1.000 0.000 0.000 412.500 True",
                  "CONFIG Camera 3 Sim Sim1"}));
    manager.Clear();
}

TEST(CameraManagerProject, SimulatedCameraReportsItsPoseConnectedAndNormalised) {
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(doc.Parse(R"(<Cameras><HwCamera Type="Sim" Name="Sim1" Y="2" Z="3" A="270" B="0" C="-190"
                           Active="True" ImageEnabled="1"/></Cameras>)"),
              tinyxml2::XML_SUCCESS);
    ClockedManager manager;
    TestSupport::LogCapture log;
    manager.Read(doc.RootElement());
    EXPECT_TRUE(log.Contains("Camera Simulated 'Sim1': Configuration loaded: Pos=(0.0, 2.0, 3.0) Ori=(270.0, 0.0, -190.0)"))
        << log.Joined();
    const auto camera = manager.Get("SIM1");
    ASSERT_NE(camera, nullptr);
    DataTypes::Vector3 pos;
    DataTypes::Vector3 ori;
    int model = 0;
    EXPECT_TRUE(camera->GetTargetPos(pos, ori, model));
    EXPECT_EQ(model, 1);
    EXPECT_FLOAT_EQ(ori.x, -90.0f);
    EXPECT_FLOAT_EQ(ori.z, 170.0f);
    EXPECT_EQ(manager.GetCLIStateString(), "   Cam: CONNECTED Pos (0.0, 2.0, 3.0), Ori (-90.0, 0.0, 170.0) Mod 1");
    EXPECT_EQ(manager.GetHVPResultStrings(), (std::list<std::string>{"CAMINFO CameraResult Sim Sim1 CONNECTED 0 2 3 -90 0 170 1"}));
    EXPECT_TRUE(static_cast<Camera::CameraSimulated&>(*camera).imageFlag);

    // The flag reads true/false in any case or an integer; anything else keeps it.
    for (auto row : {std::pair<const char*, bool>{"FALSE", false}, {"bogus", false}, {"TRUE", true}, {"0", false}}) {
        tinyxml2::XMLDocument one;
        one.Parse((std::string("<HwCamera ImageEnabled=\"") + row.first + "\"/>").c_str());
        static_cast<Camera::CameraSimulated&>(*camera).Read(*one.RootElement());
        EXPECT_EQ(static_cast<Camera::CameraSimulated&>(*camera).imageFlag, row.second) << row.first;
    }
}

// The camera settings are part of the project: a position, geometry or scale that is no
// finite number would reach the robot as a NaN target; the project is then not valid.
TEST(CameraManagerProject, NonFiniteNumbersMakeTheProjectNotValid) {
    struct Case {
        const char* camera;
        const char* attribute;
    };
    const Case cases[] = {
        {"<HwCamera Type=\"Sim\" Name=\"S\" %s/>", "X"},
        {"<HwCamera Type=\"Sim\" Name=\"S\" %s/>", "C"},
        {"<HwCamera Type=\"IFMO2D\" Name=\"F\" Active=\"False\" %s/>", "OriginY"},
        {"<HwCamera Type=\"IFMO2D\" Name=\"F\" Active=\"False\" %s/>", "ScaleX"},
        {"<HwCamera Type=\"SolutionBinPicking\" Name=\"B\" Active=\"False\" %s/>", "ZDistance"},
    };
    LogSingleton* log = LogSingleton::instance();
    for (const Case& c : cases) {
        for (const char* value : {"nan", "-inf", "1e309"}) {
            const std::string given = std::string(c.attribute) + "=\"" + value + "\"";
            std::string element = c.camera;
            element.replace(element.find("%s"), 2, given);
            SCOPED_TRACE(element);
            log->set_opMode(OPMODE_NORMAL);
            log->set_seriousFailReason("");
            tinyxml2::XMLDocument doc;
            ASSERT_EQ(doc.Parse(("<Cameras>" + element + "</Cameras>").c_str()), tinyxml2::XML_SUCCESS);
            ClockedManager manager;
            TestSupport::LogCapture capture;
            manager.Read(doc.RootElement());
            EXPECT_EQ(log->get_opMode(), OPMODE_SERIOUS_FAILURE);
            EXPECT_EQ(log->get_seriousFailReason(), "5 .prj not valid");
            EXPECT_TRUE(capture.Contains("Project: attribute \"" + std::string(c.attribute) +
                                         "\" in line \"HwCamera\" of project file is not a finite number: \"" + value +
                                         "\""))
                << capture.Joined();
            // The written settings hold numbers only.
            EXPECT_EQ(Printed(manager.Write(doc)).find("nan"), std::string::npos);
            EXPECT_EQ(Printed(manager.Write(doc)).find("inf"), std::string::npos);
            manager.Clear();
        }
    }
    log->set_opMode(OPMODE_NORMAL);
    log->set_seriousFailReason("");
}

// ------------------------------------------------------------------ HVP lines

// A camera whose result and image the test sets.
class LineCamera : public Camera::CameraInterface {
public:
    explicit LineCamera(const std::string& name) : CameraInterface("IFMO2D", name) {}
    void Start() override {}
    void Stop() override {}
    bool GetTargetPos(DataTypes::Vector3& pos, DataTypes::Vector3& ori, int& model) const override {
        pos = DataTypes::Vector3(x.load(), 2.5f, -3);
        ori = DataTypes::Vector3(45, 0, 0);
        model = 7;
        return true;
    }
    int Read(tinyxml2::XMLElement&) override { return 0; }
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument&) override { return nullptr; }
    std::string GetHVPConfigString(int count) const override { return "CONFIG Camera " + std::to_string(count); }
    int GetStatus() const override { return 2; }

    std::atomic<float> x{1.0f};
};

// An image whose payload is fixed text (empty: the encoding fails).
class TextImage : public Imaging::Image {
public:
    explicit TextImage(std::string text) : Image(1, 1), text(std::move(text)) {}
    void EncodeHVP(std::vector<char>& out, bool) const override {
        out.assign(text.begin(), text.end());
        if (!out.empty()) out.push_back('\0');
    }
    std::string text;
};

std::vector<std::string> Texts(const std::vector<Camera::CameraManager::HVPLine>& lines) {
    std::vector<std::string> out;
    for (const auto& line : lines) out.push_back(*line);
    return out;
}

class CameraLinesTest : public ::testing::Test {
protected:
    void SetUp() override {
        manager.Add(std::make_unique<LineCamera>("B"));
        manager.Add(std::make_unique<LineCamera>("a"));
        a = std::static_pointer_cast<LineCamera>(manager.Get("a"));
        b = std::static_pointer_cast<LineCamera>(manager.Get("b"));
    }
    ClockedManager manager;
    std::shared_ptr<LineCamera> a;
    std::shared_ptr<LineCamera> b;
};

TEST_F(CameraLinesTest, EveryConnectionGetsEachNewResultOnceAndLinesAreShared) {
    Camera::CameraManager::HVPLineCursor first;
    Camera::CameraManager::HVPLineCursor second;
    manager.ProduceHVPLines();  // first pass: every camera's line is due
    EXPECT_EQ(Texts(manager.TakeNewHVPLines(first)),
              (std::vector<std::string>{"CAMINFO CameraResult IFMO2D a CONNECTED 1 2.5 -3 45 0 0 7",
                                        "CAMINFO CameraResult IFMO2D B CONNECTED 1 2.5 -3 45 0 0 7"}));
    EXPECT_TRUE(manager.TakeNewHVPLines(first).empty());

    a->x.store(2.0f);
    a->SetNewResult();
    manager.now += 25;
    manager.ProduceHVPLines();
    EXPECT_FALSE(a->HasNewResult());
    const auto toFirst = manager.TakeNewHVPLines(first);
    ASSERT_EQ(Texts(toFirst), (std::vector<std::string>{"CAMINFO CameraResult IFMO2D a CONNECTED 2 2.5 -3 45 0 0 7"}));
    manager.now += 25;
    manager.ProduceHVPLines();  // nothing new in this pass
    EXPECT_TRUE(manager.TakeNewHVPLines(first).empty());

    // The second connection comes later and still gets the newest of each camera.
    const auto toSecond = manager.TakeNewHVPLines(second);
    ASSERT_EQ(toSecond.size(), 2u);
    EXPECT_EQ(toSecond[0], toFirst[0]);  // the same line, not a copy
    EXPECT_EQ(*toSecond[1], "CAMINFO CameraResult IFMO2D B CONNECTED 1 2.5 -3 45 0 0 7");

    // Two results between its steps: a connection gets the newer one.
    for (float x : {3.0f, 4.0f}) {
        a->x.store(x);
        a->SetNewResult();
        manager.now += 25;
        manager.ProduceHVPLines();
    }
    EXPECT_EQ(Texts(manager.TakeNewHVPLines(second)),
              (std::vector<std::string>{"CAMINFO CameraResult IFMO2D a CONNECTED 4 2.5 -3 45 0 0 7"}));
    EXPECT_EQ(manager.TakeNewHVPLines(first).size(), 1u);
}

TEST_F(CameraLinesTest, ResultLinesWithoutNewResultsFollowThePeriod) {
    Camera::CameraManager::HVPLineCursor cursor;
    manager.ProduceHVPLines();
    EXPECT_EQ(manager.TakeNewHVPLines(cursor).size(), 2u);
    manager.now += 5000;  // not more than the period yet
    manager.ProduceHVPLines();
    EXPECT_TRUE(manager.TakeNewHVPLines(cursor).empty());
    manager.now += 1000;
    manager.ProduceHVPLines();
    EXPECT_EQ(manager.TakeNewHVPLines(cursor).size(), 2u);
}

TEST_F(CameraLinesTest, ImageLinesFollowTheEncoderAndThePeriod) {
    Camera::CameraManager::HVPLineCursor cursor;
    manager.ProduceHVPLines();
    manager.TakeNewHVPLines(cursor);

    // No image delivered yet: no image line.
    a->CheckEncodeHVPImage();
    manager.now += 2000;
    manager.ProduceHVPLines();
    EXPECT_TRUE(manager.TakeNewHVPLines(cursor).empty());

    // An image whose encoding fails leaves no payload: the line says so.
    a->SetImage(std::make_shared<TextImage>(""));
    a->CheckEncodeHVPImage();
    manager.now += 10;
    manager.ProduceHVPLines();
    EXPECT_EQ(Texts(manager.TakeNewHVPLines(cursor)), (std::vector<std::string>{"CAMINFO CameraImage a NOIMAGE"}));

    a->SetImage(std::make_shared<TextImage>("QUJD"));
    a->CheckEncodeHVPImage();
    std::stringstream payload;
    EXPECT_EQ(a->GetEncodedImage(payload), 5u);
    manager.now += 1000;  // not more than the period
    manager.ProduceHVPLines();
    EXPECT_TRUE(manager.TakeNewHVPLines(cursor).empty());
    manager.now += 1;
    manager.ProduceHVPLines();
    EXPECT_EQ(Texts(manager.TakeNewHVPLines(cursor)),
              (std::vector<std::string>{std::string("CAMINFO CameraImage a QUJD") + '\0'}));

    // A frame without an image: the previous payload is offered again.
    a->SetImage(nullptr);
    a->CheckEncodeHVPImage();
    a->SetNewResult();
    manager.now += 1001;
    manager.ProduceHVPLines();
    const auto lines = Texts(manager.TakeNewHVPLines(cursor));
    ASSERT_EQ(lines.size(), 2u);  // result first, then image
    EXPECT_EQ(lines[0].rfind("CAMINFO CameraResult IFMO2D a", 0), 0u);
    EXPECT_EQ(lines[1], std::string("CAMINFO CameraImage a QUJD") + '\0');
}

// A connection's camera step does not line up with the pass that made the line: an image
// line made a period after the last one waits until a period has passed since this
// connection got its last one, and then it gets the newest.
TEST_F(CameraLinesTest, EachConnectionGetsAtMostOneImageLinePerPeriod) {
    auto newImage = [&](const char* text) {
        a->SetImage(std::make_shared<TextImage>(text));
        a->CheckEncodeHVPImage();
    };
    auto images = [&](Camera::CameraManager::HVPLineCursor& cursor) {
        std::vector<std::string> out;
        for (const std::string& line : Texts(manager.TakeNewHVPLines(cursor))) {
            if (line.rfind("CAMINFO CameraImage", 0) == 0) out.push_back(line.substr(0, line.size() - 1));
        }
        return out;
    };
    Camera::CameraManager::HVPLineCursor late;   // steps 500 ms after each line is made
    Camera::CameraManager::HVPLineCursor early;  // steps right when a line is made
    newImage("ONE");
    manager.ProduceHVPLines();
    EXPECT_EQ(images(early), std::vector<std::string>{"CAMINFO CameraImage a ONE"});
    manager.now += 500;
    EXPECT_EQ(images(late), std::vector<std::string>{"CAMINFO CameraImage a ONE"});

    newImage("TWO");
    manager.now += 501;  // a period and a millisecond after the first line was made
    manager.ProduceHVPLines();
    EXPECT_EQ(images(early), std::vector<std::string>{"CAMINFO CameraImage a TWO"});
    EXPECT_TRUE(images(late).empty()) << "501 ms after this connection's last image line";
    newImage("THREE");  // a newer image, not yet due for a line of its own
    manager.now += 499;
    manager.ProduceHVPLines();
    EXPECT_TRUE(images(late).empty()) << "a period to the millisecond";
    manager.now += 1;
    EXPECT_EQ(images(late), std::vector<std::string>{"CAMINFO CameraImage a TWO"});
    EXPECT_TRUE(images(late).empty());
    EXPECT_TRUE(images(early).empty());
}

// The monotonic clock counts from boot: a board up for less than a period still gets the
// first result line at once and the first image as soon as it is encoded.
TEST(CameraLinesClock, FirstLinesComeAtOnceHoweverShortlyTheClockHasRun) {
    for (const std::int64_t start : {std::int64_t{0}, std::int64_t{1500}, std::int64_t{10'000'000}}) {
        ClockedManager manager;
        manager.now = start;
        manager.Add(std::make_unique<LineCamera>("a"));
        auto a = std::static_pointer_cast<LineCamera>(manager.Get("a"));
        Camera::CameraManager::HVPLineCursor cursor;
        manager.ProduceHVPLines();
        EXPECT_EQ(Texts(manager.TakeNewHVPLines(cursor)),
                  (std::vector<std::string>{"CAMINFO CameraResult IFMO2D a CONNECTED 1 2.5 -3 45 0 0 7"}))
            << start;
        a->SetImage(std::make_shared<TextImage>("QUJD"));
        a->CheckEncodeHVPImage();
        manager.now += 1;
        manager.ProduceHVPLines();
        EXPECT_EQ(Texts(manager.TakeNewHVPLines(cursor)),
                  (std::vector<std::string>{std::string("CAMINFO CameraImage a QUJD") + '\0'}))
            << start;
    }
}

TEST_F(CameraLinesTest, RemovedCamerasLeaveNoLinesAndTheConsoleShowsEachCamera) {
    EXPECT_EQ(manager.GetCLIStateString(),
              "   Cam: CONNECTED Pos (1.0, 2.5, -3.0), Ori (45.0, 0.0, 0.0) Mod 7"
              "   Cam: CONNECTED Pos (1.0, 2.5, -3.0), Ori (45.0, 0.0, 0.0) Mod 7");
    EXPECT_EQ(manager.GetHVPConfigStrings(), (std::list<std::string>{"CONFIG Camera 2", "CONFIG Camera 2"}));
    manager.ProduceHVPLines();
    manager.Remove("A");
    manager.ProduceHVPLines();
    Camera::CameraManager::HVPLineCursor cursor;
    EXPECT_EQ(Texts(manager.TakeNewHVPLines(cursor)),
              (std::vector<std::string>{"CAMINFO CameraResult IFMO2D B CONNECTED 1 2.5 -3 45 0 0 7"}));
}

// ------------------------------------------------------------------ threads

TEST(CameraManagerConcurrent, ResultsArriveWhileThreeThreadsReadTargetsAndLinesAreBuilt) {
    CameraSim::Config config;
    // Alternating results: model 1 at x + 10 mm, model 2 at x + 20 mm.
    config.frames = {CameraTest::PassFrame(1, 330, 240, 10), CameraTest::PassFrame(2, 340, 240, 20)};
    config.bmpWidth = 32;
    config.bmpHeight = 24;
    config.periodMs = 2;
    CameraSim::Server sim(config);
    ASSERT_GT(sim.Start(), 0);

    ClockedManager manager;
    auto o2d = std::make_unique<CameraTest::RecordingO2D>("O2D", sim.Port());
    o2d->ImageEnabled.store(true);
    manager.Add(std::move(o2d));
    manager.Add(std::make_unique<Camera::CameraSimulated>("Sim"));
    manager.Add(std::make_unique<LineCamera>("Line"));

    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::atomic<int> seen[3] = {{0}, {0}, {0}};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                const auto camera = manager.Get("o2d");
                DataTypes::Vector3 pos;
                DataTypes::Vector3 ori;
                int model = -1;
                if (camera && camera->GetTargetPos(pos, ori, model)) {
                    const bool whole = (model == 1 && pos.x == 10.0f && ori.x == 10.0f) ||
                                       (model == 2 && pos.x == 20.0f && ori.x == 20.0f);
                    if (!whole) torn.fetch_add(1);
                    if (model == 1 || model == 2) seen[model].fetch_add(1);
                }
            }
        });
    }
    Camera::CameraManager::HVPLineCursor first;
    Camera::CameraManager::HVPLineCursor second;
    size_t images = 0;
    const auto start = std::chrono::steady_clock::now();
    while (CameraTest::SecondsSince(start) < 1.5 || seen[1].load() == 0 || seen[2].load() == 0) {
        if (CameraTest::SecondsSince(start) > 30) break;
        manager.now += 250;
        manager.ProduceHVPLines();
        for (const auto& line : manager.TakeNewHVPLines(first)) images += line->rfind("CAMINFO CameraImage", 0) == 0;
        manager.TakeNewHVPLines(second);
        manager.GetCLIStateString();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stop.store(true);
    for (auto& reader : readers) reader.join();
    manager.Clear();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(seen[1].load(), 0);
    EXPECT_GT(seen[2].load(), 0);
    EXPECT_GT(images, 0u);
}

}  // namespace
