// Writing single program elements back: every written element must load again as the same
// command, attribute by attribute and exactly, and a document of them must be well-formed
// XML.

#include "IpoTestSupport.h"

#include "program/CommandComment.h"
#include "program/CommandPause.h"
#include "program/CommandStop.h"
#include "program/CommandSystem.h"

#include "testsupport/CommandCompare.h"
#include "testsupport/TestSupport.h"
#include "testsupport/IpoTestAccess.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

// Parses as the program loader does: entities processed, whitespace preserved.
struct Parsed {
    tinyxml2::XMLDocument doc{true, tinyxml2::PRESERVE_WHITESPACE};
    explicit Parsed(const std::string& xml) {
        EXPECT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS) << doc.ErrorStr() << "\n" << xml;
    }
    tinyxml2::XMLElement* Element() { return doc.FirstChildElement(); }
};

// What one command writes, through a real file stream as the program writer uses. The
// count argument is the program's command count, which no element writes.
std::string Written(Command& command, int commandCount = 99) {
    TestSupport::TempDataRoot root;
    const std::string path = root.DataPath() + "/element.xml";
    {
        std::ofstream out(path, std::ios::out | std::ios::trunc);
        command.WriteXML(&out, commandCount);
    }
    return TestSupport::ReadWholeFile(path);
}

// As the loader reads an element.
void Read(Command& command, tinyxml2::XMLElement* element) {
    command.ReadNumberAndDescription(*element);
    command.ReadXML(element, true);
}

struct WriterCase {
    std::string name;
    std::string element;                              // as a program file holds it
    std::function<std::string(bool check)> roundTrip;  // the written line
};

// Reads the element, writes it, reads the written line into a fresh command and compares.
template <typename C>
std::string RoundTrip(const std::string& element, bool check) {
    Parsed source(element);
    if (source.Element() == nullptr) {
        ADD_FAILURE() << "no element in " << element;
        return std::string();
    }
    C original;
    Read(original, source.Element());
    if (check) {
        EXPECT_TRUE(original.valid) << element;
    }
    const std::string line = Written(original);
    if (!check) {
        return line;
    }
    // One line per element: the program writer adds no line breaks of its own.
    EXPECT_FALSE(line.empty());
    EXPECT_EQ(line.find('\n'), line.size() - 1) << line;

    Parsed written(line);
    if (written.Element() == nullptr) {
        return line;
    }
    // The tag decides the class the loader creates; the number is the element's own.
    EXPECT_STREQ(written.Element()->Name(), source.Element()->Name()) << line;
    EXPECT_EQ(written.Element()->IntAttribute("Nr", -1), source.Element()->IntAttribute("Nr", 0)) << line;
    C reread;
    Read(reread, written.Element());
    CommandCompare::ExpectSameCommand(original, reread);
    return line;
}

template <typename C>
WriterCase Case(const std::string& name, const std::string& element) {
    return WriterCase{name, element, [element](bool check) { return RoundTrip<C>(element, check); }};
}

// A condition with every XML special, a tab and a line break.
const std::string kAwkwardCondition = "din1 && (#x < 3) || \"q\" > 'r'\tand\nnext";
const std::string kAwkwardEscaped = "din1 &amp;&amp; (#x &lt; 3) || &quot;q&quot; &gt; &apos;r&apos;&#9;and&#10;next";

// Every command kind in each of its forms, with numbers a 0.1 or 0.001 rounding would
// change and values above the limits that apply where they are used.
std::vector<WriterCase> Cases() {
    const std::string longCondition(2000, 'c');  // far beyond any fixed line buffer
    const std::string longName(600, 'v');
    return {
        Case<CommandJoint>("JointNumerical",
                           R"(<Joint Nr="12" a1="12.345678" a2="-90.001" a3="0.1" a4="179.999" a5="-0.004" )"
                           R"(a6="33.333" e1="1500.125" e2="-2.5" e3="1e-07" velPercent="45.55" acc="60.05" )"
                           R"(smooth="12.525" AbortCondition="din3 == 1" Descr="pick up" />)"),
        Case<CommandJoint>("JointDefaultsAndAwkwardCondition",
                           "<Joint AbortCondition=\"" + kAwkwardEscaped + "\" Descr=\"" + kAwkwardEscaped + "\" />"),
        Case<CommandJoint>("JointVariable",
                           R"(<Joint Nr="3" Source="Variable" VariableName="P_Home" velPercent="180" acc="40.5" )"
                           R"(smooth="0" AbortCondition="false" />)"),
        Case<CommandJoint>("JointLongCondition", "<Joint AbortCondition=\"" + longCondition + "\" />"),
        Case<CommandLinear>("LinearNumerical",
                            R"(<Linear Nr="4" x="323.456" y="-56.789" z="0.1" a="179.123" b="-45.5" c="0.001" )"
                            R"(e1="10.25" e2="-3" e3="0.125" vel="500" acc="75" smooth="33.3" AbortCondition="din2" />)"),
        Case<CommandLinear>("LinearVariable",
                            R"(<Linear Nr="5" Source="variable" VariableName="Pick_Pos" vel="100.05" acc="20" )"
                            R"(smooth="80" AbortCondition="#n &gt; 2 &amp;&amp; din1" />)"),
        Case<CommandLinear>("LinearLongVariableName", "<Linear Source=\"variable\" VariableName=\"" + longName +
                                                          "\" vel=\"1\" acc=\"2\" smooth=\"3\" AbortCondition=\"" +
                                                          longCondition + "\" />"),
        Case<CommandRelative>("RelativeJoint",
                              R"(<Relative Nr="6" MoType="JOINT" a1="1.5" a2="-2.25" a3="0" a4="0.001" a5="-10" )"
                              R"(a6="90" e1="5.125" e2="0" e3="-1" velPercent="25.55" acc="35" smooth="5" )"
                              R"(AbortCondition="false" />)"),
        Case<CommandRelative>("RelativeBase",
                              R"(<Relative Nr="7" MoType="cartbase" x="10.125" y="-20.5" z="0.0003" e1="1.5" )"
                              R"(e2="-2" e3="3" vel="955.5" acc="45" smooth="15" AbortCondition="din4 == 0" />)"),
        Case<CommandRelative>("RelativeTool",
                              R"(<Relative MoType="carttool" x="0" y="0" z="-100.25" vel="20" acc="50" smooth="20" )"
                              R"(AbortCondition="din1 &amp;&amp; din2" />)"),
        Case<CommandCircular>("CircularNumerical",
                              R"(<Circular Nr="8" vel="777.7" acc="40.5" smooth="0.25" useAngle="false" angle="0" )"
                              R"(Source="numerical" p1x="440.125" p1y="10.001" p1z="250" p2x="450" p2y="-0.3" )"
                              R"(p2z="250.75" a="180" b="10.5" c="-179.9" e1="1" e2="2.5" e3="-3" )"
                              R"(AbortCondition="false" />)"),
        Case<CommandCircular>("CircularVariableByAngle",
                              R"(<Circular Nr="9" vel="50" acc="40" smooth="0" useAngle="true" angle="-90.25" )"
                              R"(Source="Variable" VariableHelperName="Help_1" VariableEndName="End_1" )"
                              R"(AbortCondition="din1" />)"),
        Case<CommandComment>("Comment", R"(<Comment Nr="10" Descr="Demo: &quot;pick&quot; &amp; place" />)"),
        Case<CommandComment>("CommentWithoutText", R"(<Comment Nr="11" />)"),
        Case<CommandPause>("Pause", R"(<Pause Nr="13" Descr="look" />)"),
        Case<CommandStop>("Stop", R"(<Stop Nr="14" />)"),
        Case<CommandSystem>("System", R"(<System Nr="15" />)"),
        Case<CommandWait>("WaitTime", R"(<Wait Nr="16" Type="Time" Seconds="2.5" />)"),
        Case<CommandWait>("WaitWholeSeconds", R"(<Wait Type="Time" Seconds="3" />)"),
        Case<CommandWait>("WaitConditional",
                          R"(<Wait Nr="17" Type="Conditional" Condition="din1 &amp;&amp; #count &lt; 3" />)"),
        Case<CommandSetVelocity>("SetVel", R"(<SetVel Nr="18" Joint="2" Vel="-512.345" Acc="30.05" />)"),
        Case<CommandIf>("If", "<If Nr=\"19\" Condition=\"" + kAwkwardEscaped + "\" />"),
        Case<CommandLoop>("LoopCounting", R"(<Loop Nr="20" Mode="Count" Times="12" />)"),
        Case<CommandLoop>("LoopConditional", R"(<Loop Nr="21" Mode="DIn" Condition="din5 == 1" />)"),
        Case<CommandSub>("Sub", R"(<Sub Nr="22" File="subs\sub1.xml" />)"),
        Case<CommandStoreData>("StoreNumber", R"(<Store Nr="23" Type="number" Name="Count" Value="0.1" />)"),
        Case<CommandStoreData>("StorePosition",
                               R"(<Store Nr="24" Type="position" Name="pA" Value="400.125 0.1 300 180 20.5 -180" )"
                               R"(ValueJoints="0 1.535 30.4 0 38.064 0 1e-05 0 -7.25" />)"),
        Case<CommandStoreData>("StorePositionWithoutJoints",
                               R"(<Store Nr="25" Type="position" Name="pB" Value="1 2 3 4 5 6" />)"),
        Case<CommandStoreData>("StoreCurrentPosition", R"(<Store Nr="26" Type="position" Name="here" />)"),
        Case<CommandMathFunction>("MathOperator",
                                  R"(<MathOperator Nr="27" Function="ADD" FirstOperand="P.x" SecondOperand="-2.5" />)"),
        Case<CommandMatrix>("Matrix", R"(<Matrix Nr="28" CntX="3" CntY="2" VarPointA="pA" VarPointB="pB" )"
                                      R"(VarPointC="pC" VarTargetPos="Place" VarCntX="cx" VarCntY="cy" />)"),
        Case<CommandMatrixDefinition>("MatrixDefinition", R"(<MatrixDefinition Nr="29" CntX="4" CntY="5" Name="Pal" )"
                                                          R"(VarPointA="pA" VarPointB="pB" VarPointC="pC" />)"),
        Case<CommandMatrixQuery>("MatrixQuery", R"(<MatrixQuery Nr="30" Name="Pal" VarIndex="index" )"
                                                R"(VarTargetPos="place" VarCntX="cx" VarCntY="cy" />)"),
        Case<CommandDIO>("OutputOn", R"(<Output Nr="31" Channel="DOut64" State="True" />)"),
        Case<CommandDIO>("OutputLowerCasePrefix", R"(<Output Channel="dout3" State="true" />)"),
        Case<CommandDIO>("SignalOff", R"(<Output Channel="GSig100" State="False" />)"),
        Case<CommandGripper>("Gripper", R"(<Gripper Nr="32" Position="42.25" />)"),
        Case<CommandGripper>("GripperThree", R"(<Gripper Nr="33" Position="1.5" Position2="99.9" Position3="0.1" />)"),
        Case<CommandCamera>("Camera", R"(<Camera Nr="34" CameraName="Cam 1" CameraType="IFMO2D" )"
                                      R"(VarTargetPos="camTarget" VarModelClass="camModel" />)"),
        Case<CommandPlugin>("Plugin", R"(<Plugin Nr="35" PluginName="PluginSmartCameraIfmO2D" )"
                                      R"(VarTargetPos="plugTarget" VarModelClass="plugModel" />)"),
    };
}

class CommandWriterRoundTrip : public ::testing::TestWithParam<WriterCase> {};

TEST_P(CommandWriterRoundTrip, ReadsBackAsTheSameCommand) {
    GetParam().roundTrip(true);
}

INSTANTIATE_TEST_SUITE_P(Elements, CommandWriterRoundTrip, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<WriterCase>& info) { return info.param.name; });

// The awkward condition really went through escaping and came back whole.
TEST(CommandWriter, ConditionSurvivesEscaping) {
    CommandLinear linear;
    linear.abortCondition = kAwkwardCondition;
    const std::string line = Written(linear);
    EXPECT_NE(line.find("&amp;&amp;"), std::string::npos) << line;
    EXPECT_EQ(line.find('\t'), std::string::npos) << line;
    Parsed written(line);
    ASSERT_NE(written.Element(), nullptr);
    CommandLinear reread;
    reread.ReadXML(written.Element(), true);
    EXPECT_TRUE(reread.valid);
    EXPECT_EQ(reread.abortCondition, kAwkwardCondition);
}

// The former Linear line rounded x, y, z to 0.1 mm, wrote the capped velocity and the
// command count as its number.
TEST(CommandWriter, LinearWritesItsOwnNumberAndExactValues) {
    CommandLinear linear;
    linear.number = 4;
    linear.target.pose.SetTranslation(323.456f, -0.25f, 1e-7f);
    linear.target.A = 179.999f;
    linear.velCartesian = 500.0f;
    linear.velCartesianLimit = 250.0f;
    linear.accPercent = 65.0f;
    linear.smoothPercent = 25.5f;
    linear.abortCondition = "false";
    linear.description = "over the belt";
    EXPECT_EQ(Written(linear, 12),
              "<Linear Nr=\"4\" x=\"323.456\" y=\"-0.25\" z=\"0.0000001\" a=\"179.999\" b=\"0\" c=\"0\" e1=\"0\" "
              "e2=\"0\" e3=\"0\" vel=\"500\" acc=\"65\" smooth=\"25.5\" AbortCondition=\"false\" "
              "Descr=\"over the belt\" />\n");
    EXPECT_EQ(linear.UsedVelCartesian(), 250.0f);
}

// Any float reads back as itself: the shortest text that does is written.
TEST(CommandWriter, EveryFloatComesBackExact) {
    const float values[] = {0.1f, 323.456f, -0.004f, 1e-7f, 1e-45f, 16777217.0f, 3.4028235e38f, -0.0f, 1.0f / 3.0f,
                            123456.789f};
    for (const float v : values) {
        SCOPED_TRACE(v);
        CommandJoint joint;
        joint.target.jointSet[0] = v;
        joint.velJointPercent = v;
        Parsed written(Written(joint));
        ASSERT_NE(written.Element(), nullptr);
        CommandJoint reread;
        reread.ReadXML(written.Element(), true);
        EXPECT_EQ(reread.target.jointSet[0], v);
        EXPECT_EQ(reread.velJointPercent, v);
        EXPECT_EQ(std::signbit(reread.target.jointSet[0]), std::signbit(v));
    }
}

// Milliseconds that a plain "s.mmm" text would lose to float rounding (0.251 s reads as
// 250 ms) come back exact.
TEST(CommandWriter, WaitTimesComeBackExact) {
    for (const std::int32_t ms : {0, 5, 251, 1234, 59999, 1000, 3600000, 16383999, 2147483000}) {
        SCOPED_TRACE(ms);
        CommandWait wait;
        wait.waitType = CommandWait::WaitTime;
        wait.waitTime = ms;
        const std::string line = Written(wait);
        Parsed written(line);
        ASSERT_NE(written.Element(), nullptr);
        CommandWait reread;
        reread.ReadXML(written.Element(), true);
        EXPECT_TRUE(reread.valid) << line;
        EXPECT_EQ(reread.waitType, CommandWait::WaitTime);
        EXPECT_EQ(reread.waitTime, ms) << line;
    }
}

TEST(CommandWriter, EveryWaitUpToTwoMinutesComesBackExact) {
    int wrong = 0;
    for (std::int32_t ms = 0; ms <= 120000 && wrong < 5; ++ms) {
        const std::string element = "<Wait Type=\"Time\" Seconds=\"" + CommandWait::SecondsText(ms) + "\" />";
        Parsed parsed(element);
        CommandWait reread;
        reread.ReadXML(parsed.Element(), true);
        if (reread.waitTime != ms) {
            ++wrong;
            ADD_FAILURE() << element << " reads as " << reread.waitTime << " ms";
        }
    }
}

// A document of every case, as the program writer frames it, is well-formed XML.
TEST(CommandWriter, WrittenProgramPassesXmllint) {
    if (std::system("xmllint --version >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "xmllint is not installed (package libxml2-utils)";
    }
    std::string document = "<?xml version=\"1.0\" encoding=\"utf-8\"?><Program>";
    for (const WriterCase& c : Cases()) {
        document += c.roundTrip(false);
    }
    document += "</Program>";
    TestSupport::TempDataRoot root;
    const std::string path = root.WriteFile("Data/Programs/written.xml", document);
    const std::string lint = "xmllint --noout '" + path + "' 2>&1";
    EXPECT_EQ(std::system(lint.c_str()), 0) << document;
}

// ---------------------------------------------------------------------------------------
// Whole programs through the interpreter's writer and loader.

// Leftovers of an interrupted or refused write.
std::vector<std::string> TemporaryFiles() {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(IpoTest::ProgramsDir())) {
        if (entry.path().extension() == ".tmp") found.push_back(entry.path().string());
    }
    return found;
}

class ProgramWriteBack : public ::testing::Test {
protected:
    void SetUp() override {
        IpoTest::SetFixtureRobot();
        std::filesystem::create_directories(IpoTest::ProgramsDir());
        ipo = IpoTest::MakeIpo(&mem.memory);
    }

    IpoTest::Memory mem;
    std::unique_ptr<IPO> ipo;
};

TEST_F(ProgramWriteBack, WrittenProgramLoadsAgainWithTheSameCommandsAndLinks) {
    IpoTest::WriteProgram(
        "write_source.xml",
        "<Program>"
        R"(<Joint Nr="1" a1="12.345" a2="-90.001" a3="0.5" a4="179.999" a5="-0.004" a6="33.333" e1="150.125" )"
        R"(e2="-2.5" e3="7" velPercent="45.5" acc="60" smooth="12.5" AbortCondition="din3 == 1" />)"
        R"(<Joint Nr="2" Source="variable" VariableName="P_Home" velPercent="80" acc="40" smooth="0" )"
        R"(AbortCondition="false" />)"
        R"(<Linear Nr="3" x="123.4" y="-56.7" z="0.1" a="179.123" b="-45.5" c="0.001" e1="10.25" e2="-3" )"
        R"(e3="0.125" vel="200.5" acc="75" smooth="33.3" AbortCondition="din2 &amp;&amp; #n &lt; 3" />)"
        R"(<Linear Nr="4" Source="variable" VariableName="Pick" vel="100" acc="20" smooth="80" AbortCondition="false" />)"
        R"(<Relative Nr="5" MoType="joint" a1="1.5" a2="-2.25" a6="90" e1="5.125" velPercent="25.5" acc="35" )"
        R"(smooth="5" AbortCondition="false" />)"
        R"(<Relative Nr="6" MoType="cartbase" x="10.125" y="-20.5" z="0.003" e3="3" vel="55.5" acc="45" smooth="15" )"
        R"(AbortCondition="din4 == 0" />)"
        R"(<Relative Nr="7" MoType="carttool" z="-100.25" vel="20" acc="50" smooth="20" AbortCondition="false" />)"
        R"(<Output Nr="8" Channel="DOut5" State="True" />)"
        R"(<Output Nr="9" Channel="GSig12" State="false" />)"
        R"(<Gripper Nr="10" Position="42.5" />)"
        R"(<Wait Nr="11" Type="Time" Seconds="1" />)"
        R"(<Wait Nr="12" Type="Time" Seconds="1" />)"
        R"(<Wait Nr="13" Type="Time" Seconds="1" />)"
        R"(<Wait Nr="14" Type="Time" Seconds="1" />)"
        R"(<Wait Nr="15" Type="Conditional" Condition="din1 &amp;&amp; #count &lt; 3" />)"
        R"(<SetVel Nr="16" Joint="1" Vel="-12.5" Acc="30" />)"
        "</Program>");
    ASSERT_EQ(ipo->LoadProgramSynchronous("write_source.xml", true), 0);
    std::vector<std::shared_ptr<Command>> original;
    {
        std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(*ipo));
        ASSERT_EQ(IpoTestAccess::Programs(*ipo).size(), 1u);
        original = IpoTestAccess::Programs(*ipo)[0].commands;
    }
    ASSERT_EQ(original.size(), 16u);
    // As teach-in would store them: milliseconds that "s.mmm" alone would not bring back.
    const std::int32_t waits[] = {5, 251, 1234, 59999};
    for (int i = 0; i < 4; ++i) {
        static_cast<CommandWait&>(*original[10 + i]).waitTime = waits[i];
    }

    EXPECT_EQ(ipo->WriteXMLFile(0, "written.xml"), 16);
    EXPECT_TRUE(TemporaryFiles().empty());

    auto reloaded = IpoTest::MakeIpo(&mem.memory);
    ASSERT_EQ(reloaded->LoadProgramSynchronous("written.xml", true), 0);
    std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(*reloaded));
    ASSERT_EQ(IpoTestAccess::Programs(*reloaded).size(), 1u);
    const auto& again = IpoTestAccess::Programs(*reloaded)[0].commands;
    CommandCompare::ExpectSameCommands(original, again);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(static_cast<const CommandWait&>(*again[10 + i]).waitTime, waits[i]);
    }

    if (std::system("xmllint --version >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "xmllint is not installed (package libxml2-utils); the rest was checked";
    }
    const std::string lint = "xmllint --noout '" + IpoTest::ProgramsDir() + "written.xml' 2>&1";
    EXPECT_EQ(std::system(lint.c_str()), 0) << TestSupport::ReadWholeFile(IpoTest::ProgramsDir() + "written.xml");
}

}  // namespace
