// Writing single program elements back: every written element must load again as the same
// command with the same fields, and a document of them must be well-formed XML.

#include "IpoTestSupport.h"

#include "program/CommandDIO.h"
#include "program/CommandGripper.h"
#include "program/CommandJoint.h"
#include "program/CommandLinear.h"
#include "program/CommandRelative.h"
#include "program/CommandSetVelocity.h"
#include "program/CommandWait.h"

#include "testsupport/TestSupport.h"
#include "testsupport/IpoTestAccess.h"

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

// Tolerances: half the last written digit, plus float rounding.
constexpr float kTenth = 0.05f + 1e-4f;       // %0.1f values (Linear x, y, z; velocities, acc, smooth)
constexpr float kThousandth = 0.0005f + 1e-5f;  // %0.3f values (joints, angles, distances)

// What a written element is compared on, per class.
void ExpectSameBase(const Command& a, const Command& b) {
    EXPECT_EQ(b.className, a.className);
    EXPECT_EQ(b.commandType, a.commandType);
    EXPECT_EQ(b.IsCombinable(), a.IsCombinable());
    EXPECT_TRUE(b.valid);
}

void ExpectSame(const CommandJoint& a, const CommandJoint& b) {
    EXPECT_EQ(b.source, a.source);
    EXPECT_EQ(b.variableName, a.variableName);
    EXPECT_EQ(b.abortCondition, a.abortCondition);
    if (!a.IsVariableSource()) {
        for (int j = 0; j < Command::maxJoints; ++j) {
            EXPECT_NEAR(b.target.jointSet[j], a.target.jointSet[j], kThousandth) << "joint " << j;
        }
    }
    EXPECT_NEAR(b.velJointPercent, a.velJointPercent, kTenth);
    EXPECT_NEAR(b.accPercent, a.accPercent, kTenth);
    EXPECT_NEAR(b.smoothPercent, a.smoothPercent, kTenth);
}

void ExpectSame(const CommandLinear& a, const CommandLinear& b) {
    EXPECT_EQ(b.source, a.source);
    EXPECT_EQ(b.variableName, a.variableName);
    EXPECT_EQ(b.abortCondition, a.abortCondition);
    if (!a.IsVariableSource()) {
        const DataTypes::Vector3 pa = a.target.pose.GetTranslation();
        const DataTypes::Vector3 pb = b.target.pose.GetTranslation();
        EXPECT_NEAR(pb.x, pa.x, kTenth);
        EXPECT_NEAR(pb.y, pa.y, kTenth);
        EXPECT_NEAR(pb.z, pa.z, kTenth);
        EXPECT_NEAR(b.target.A, a.target.A, kThousandth);
        EXPECT_NEAR(b.target.B, a.target.B, kThousandth);
        EXPECT_NEAR(b.target.C, a.target.C, kThousandth);
        for (int j = 6; j < Command::maxJoints; ++j) {
            EXPECT_NEAR(b.target.jointSet[j], a.target.jointSet[j], kThousandth) << "joint " << j;
        }
    }
    EXPECT_NEAR(b.velCartesian, a.velCartesian, kTenth);
    EXPECT_NEAR(b.accPercent, a.accPercent, kTenth);
    EXPECT_NEAR(b.smoothPercent, a.smoothPercent, kTenth);
}

void ExpectSame(const CommandRelative& a, const CommandRelative& b) {
    EXPECT_EQ(b.frameMode, a.frameMode);
    EXPECT_EQ(b.abortCondition, a.abortCondition);
    const DataTypes::Vector3 da = a.delta.pose.GetTranslation();
    const DataTypes::Vector3 db = b.delta.pose.GetTranslation();
    EXPECT_NEAR(db.x, da.x, kThousandth);
    EXPECT_NEAR(db.y, da.y, kThousandth);
    EXPECT_NEAR(db.z, da.z, kThousandth);
    for (int j = 0; j < Command::maxJoints; ++j) {
        EXPECT_NEAR(b.delta.jointSet[j], a.delta.jointSet[j], kThousandth) << "joint " << j;
    }
    EXPECT_NEAR(b.velJointPercent, a.velJointPercent, kTenth);
    EXPECT_NEAR(b.velCartesian, a.velCartesian, kTenth);
    EXPECT_NEAR(b.accPercent, a.accPercent, kTenth);
    EXPECT_NEAR(b.smoothPercent, a.smoothPercent, kTenth);
}

void ExpectSame(const CommandDIO& a, const CommandDIO& b) {
    EXPECT_EQ(b.channel, a.channel);
    EXPECT_EQ(b.state, a.state);
    EXPECT_EQ(b.isDOut, a.isDOut);
}

void ExpectSame(const CommandGripper& a, const CommandGripper& b) {
    EXPECT_NEAR(b.position[0], a.position[0], kTenth);
}

void ExpectSame(const CommandWait& a, const CommandWait& b) {
    EXPECT_EQ(b.waitType, a.waitType);
    EXPECT_EQ(b.waitTime, a.waitTime);  // exact, not within a tolerance
    EXPECT_EQ(b.condition, a.condition);
}

void ExpectSame(const CommandSetVelocity& a, const CommandSetVelocity& b) {
    EXPECT_EQ(b.externalAxis, a.externalAxis);
    EXPECT_NEAR(b.velRotation, a.velRotation, kTenth);
    EXPECT_NEAR(b.accPercent, a.accPercent, kTenth);
}

// Parses as the program loader does: entities processed, whitespace preserved.
struct Parsed {
    tinyxml2::XMLDocument doc{true, tinyxml2::PRESERVE_WHITESPACE};
    explicit Parsed(const std::string& xml) {
        EXPECT_EQ(doc.Parse(xml.c_str()), tinyxml2::XML_SUCCESS) << doc.ErrorStr() << "\n" << xml;
    }
    tinyxml2::XMLElement* Element() { return doc.FirstChildElement(); }
};

// What one command writes, through a real file stream as the program writer uses.
std::string Written(Command& command, int number) {
    TestSupport::TempDataRoot root;
    const std::string path = root.DataPath() + "/element.xml";
    {
        std::ofstream out(path, std::ios::out | std::ios::trunc);
        command.WriteXML(&out, number);
    }
    return TestSupport::ReadWholeFile(path);
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
    original.ReadXML(source.Element(), true);
    if (check) {
        EXPECT_TRUE(original.valid) << element;
    }
    const std::string line = Written(original, 7);
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
    // The tag decides the class the loader creates.
    EXPECT_STREQ(written.Element()->Name(), source.Element()->Name()) << line;
    EXPECT_EQ(written.Element()->IntAttribute("Nr", -1), 7) << line;
    C reread;
    reread.ReadXML(written.Element(), true);
    ExpectSameBase(original, reread);
    ExpectSame(original, reread);
    return line;
}

template <typename C>
WriterCase Case(const std::string& name, const std::string& element) {
    return WriterCase{name, element, [element](bool check) { return RoundTrip<C>(element, check); }};
}

// A condition with every XML special, a tab and a line break.
const std::string kAwkwardCondition = "din1 && (#x < 3) || \"q\" > 'r'\tand\nnext";

std::vector<WriterCase> Cases() {
    const std::string longCondition(2000, 'c');  // far beyond any fixed line buffer
    const std::string longName(600, 'v');
    return {
        Case<CommandJoint>("JointNumerical",
                           R"(<Joint Nr="1" a1="12.345" a2="-90.001" a3="0.5" a4="179.999" a5="-0.004" a6="33.333" )"
                           R"(e1="1500.125" e2="-2.5" e3="7" velPercent="45.5" acc="60" smooth="12.5" )"
                           R"(AbortCondition="din3 == 1" />)"),
        Case<CommandJoint>("JointDefaultsAndAwkwardCondition",
                           "<Joint AbortCondition=\"" + std::string("din1 &amp;&amp; (#x &lt; 3) || &quot;q&quot; "
                                                                    "&gt; &apos;r&apos;&#9;and&#10;next") +
                               "\" />"),
        Case<CommandJoint>("JointVariable",
                           R"(<Joint Source="Variable" VariableName="P_Home" velPercent="80" acc="40.5" smooth="0" )"
                           R"(AbortCondition="false" />)"),
        Case<CommandJoint>("JointLongCondition", "<Joint AbortCondition=\"" + longCondition + "\" />"),
        Case<CommandLinear>("LinearNumerical",
                            R"(<Linear x="123.4" y="-56.7" z="0.1" a="179.123" b="-45.5" c="0.001" e1="10.25" )"
                            R"(e2="-3" e3="0.125" vel="250.5" acc="75" smooth="33.3" AbortCondition="din2" />)"),
        Case<CommandLinear>("LinearVariable",
                            R"(<Linear Source="variable" VariableName="Pick_Pos" vel="100" acc="20" smooth="80" )"
                            R"(AbortCondition="#n &gt; 2 &amp;&amp; din1" />)"),
        Case<CommandLinear>("LinearLongVariableName", "<Linear Source=\"variable\" VariableName=\"" + longName +
                                                          "\" vel=\"1\" acc=\"2\" smooth=\"3\" AbortCondition=\"" +
                                                          longCondition + "\" />"),
        Case<CommandRelative>("RelativeJoint",
                              R"(<Relative MoType="JOINT" a1="1.5" a2="-2.25" a3="0" a4="0.001" a5="-10" a6="90" )"
                              R"(e1="5.125" e2="0" e3="-1" velPercent="25.5" acc="35" smooth="5" AbortCondition="false" />)"),
        Case<CommandRelative>("RelativeBase",
                              R"(<Relative MoType="cartbase" x="10.125" y="-20.5" z="0.003" e1="1.5" e2="-2" e3="3" )"
                              R"(vel="55.5" acc="45" smooth="15" AbortCondition="din4 == 0" />)"),
        Case<CommandRelative>("RelativeTool",
                              R"(<Relative MoType="carttool" x="0" y="0" z="-100.25" vel="20" acc="50" smooth="20" )"
                              R"(AbortCondition="din1 &amp;&amp; din2" />)"),
        Case<CommandDIO>("OutputOn", R"(<Output Nr="3" Channel="DOut64" State="True" />)"),
        Case<CommandDIO>("OutputLowerCasePrefix", R"(<Output Channel="dout3" State="true" />)"),
        Case<CommandDIO>("SignalOff", R"(<Output Channel="GSig100" State="False" />)"),
        Case<CommandGripper>("Gripper", R"(<Gripper Nr="2" Position="42.5" />)"),
        Case<CommandWait>("WaitTime", R"(<Wait Type="Time" Seconds="2.5" />)"),
        Case<CommandWait>("WaitWholeSeconds", R"(<Wait Type="Time" Seconds="3" />)"),
        Case<CommandWait>("WaitConditional",
                          R"(<Wait Type="Conditional" Condition="din1 &amp;&amp; #count &lt; 3" />)"),
        Case<CommandSetVelocity>("SetVel", R"(<SetVel Nr="4" Joint="2" Vel="-12.5" Acc="30" />)"),
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
    const std::string line = Written(linear, 1);
    EXPECT_NE(line.find("&amp;&amp;"), std::string::npos) << line;
    EXPECT_EQ(line.find('\t'), std::string::npos) << line;
    Parsed written(line);
    ASSERT_NE(written.Element(), nullptr);
    CommandLinear reread;
    reread.ReadXML(written.Element(), true);
    EXPECT_TRUE(reread.valid);
    EXPECT_EQ(reread.abortCondition, kAwkwardCondition);
}

// The former Linear line wrote smooth="true" (which reads as 0) and no condition.
TEST(CommandWriter, LinearWritesNumericAccelerationAndSmoothing) {
    CommandLinear linear;
    linear.target.pose.SetTranslation(1.0f, 2.0f, 3.0f);
    linear.velCartesian = 100.0f;
    linear.accPercent = 65.0f;
    linear.smoothPercent = 25.0f;
    linear.abortCondition = "false";
    const std::string line = Written(linear, 9);
    EXPECT_EQ(line,
              "<Linear Nr=\"9\" x=\"1.0\" y=\"2.0\" z=\"3.0\" a=\"0.000\" b=\"0.000\" c=\"0.000\" e1=\"0.000\" "
              "e2=\"0.000\" e3=\"0.000\" vel=\"100.0\" acc=\"65.0\" smooth=\"25.0\" AbortCondition=\"false\" "
              "Descr=\"\" />\n");
}

// Milliseconds that a plain "s.mmm" text would lose to float rounding (0.251 s reads as
// 250 ms) come back exact.
TEST(CommandWriter, WaitTimesComeBackExact) {
    for (const std::int32_t ms : {0, 5, 251, 1234, 59999, 1000, 3600000, 16383999, 2147483000}) {
        SCOPED_TRACE(ms);
        CommandWait wait;
        wait.waitType = CommandWait::WaitTime;
        wait.waitTime = ms;
        const std::string line = Written(wait, 1);
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

// Compares two commands of whatever class the first one is.
void ExpectSameCommand(const Command& a, const Command& b) {
    ExpectSameBase(a, b);
    if (b.className != a.className) {
        return;
    }
    if (auto* x = dynamic_cast<const CommandJoint*>(&a)) return ExpectSame(*x, dynamic_cast<const CommandJoint&>(b));
    if (auto* x = dynamic_cast<const CommandLinear*>(&a)) return ExpectSame(*x, dynamic_cast<const CommandLinear&>(b));
    if (auto* x = dynamic_cast<const CommandRelative*>(&a)) {
        return ExpectSame(*x, dynamic_cast<const CommandRelative&>(b));
    }
    if (auto* x = dynamic_cast<const CommandDIO*>(&a)) return ExpectSame(*x, dynamic_cast<const CommandDIO&>(b));
    if (auto* x = dynamic_cast<const CommandGripper*>(&a)) return ExpectSame(*x, dynamic_cast<const CommandGripper&>(b));
    if (auto* x = dynamic_cast<const CommandWait*>(&a)) return ExpectSame(*x, dynamic_cast<const CommandWait&>(b));
    if (auto* x = dynamic_cast<const CommandSetVelocity*>(&a)) {
        return ExpectSame(*x, dynamic_cast<const CommandSetVelocity&>(b));
    }
    ADD_FAILURE() << "no comparison for " << a.className;
}

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
    ASSERT_EQ(again.size(), original.size());
    for (size_t i = 0; i < again.size(); ++i) {
        SCOPED_TRACE("command " + std::to_string(i) + " " + original[i]->className);
        ExpectSameCommand(*original[i], *again[i]);
        EXPECT_EQ(again[i]->predecessor, original[i]->predecessor);
        EXPECT_EQ(again[i]->nextSuccessor, original[i]->nextSuccessor);
        EXPECT_EQ(again[i]->bodySuccessor, original[i]->bodySuccessor);
        EXPECT_EQ(again[i]->elseSuccessor, original[i]->elseSuccessor);
    }
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(static_cast<const CommandWait&>(*again[10 + i]).waitTime, waits[i]);
    }

    if (std::system("xmllint --version >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "xmllint is not installed (package libxml2-utils); the rest was checked";
    }
    const std::string lint = "xmllint --noout '" + IpoTest::ProgramsDir() + "written.xml' 2>&1";
    EXPECT_EQ(std::system(lint.c_str()), 0) << TestSupport::ReadWholeFile(IpoTest::ProgramsDir() + "written.xml");
}

// A block command has no writer; saving the rest would store another program. The file
// under that name stays as it was and no temporary file is left.
TEST_F(ProgramWriteBack, ProgramWithAnIfIsRefusedAndLeavesNothingBehind) {
    IpoTest::WriteProgram("with_if.xml",
                          "<Program>"
                          R"(<Joint Nr="1" a1="1" AbortCondition="false" />)"
                          R"(<If Nr="2" Condition="din1" />)"
                          R"(<Wait Nr="3" Type="Time" Seconds="1" />)"
                          "<EndIf />"
                          "</Program>");
    IpoTest::WriteProgram("kept.xml", "previous content");
    ASSERT_EQ(ipo->LoadProgramSynchronous("with_if.xml", true), 0);
    ASSERT_TRUE(ipo->IsProgramLoaded());

    EXPECT_LT(ipo->WriteXMLFile(0, "kept.xml"), 0);
    EXPECT_EQ(TestSupport::ReadWholeFile(IpoTest::ProgramsDir() + "kept.xml"), "previous content");
    EXPECT_LT(ipo->WriteXMLFile(0, "fresh.xml"), 0);
    EXPECT_FALSE(std::filesystem::exists(IpoTest::ProgramsDir() + "fresh.xml"));
    EXPECT_TRUE(TemporaryFiles().empty());
}

}  // namespace
