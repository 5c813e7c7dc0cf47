// The HVP move and start keywords while the e-stop forbids motion: refused with a reply and
// one log line, nothing installed in the interpreters.

#include "hvp_robot_fixture.h"

#include "control/LoopClock.h"
#include "testsupport/RobotMasterTestAccess.h"

#include <gtest/gtest.h>

#include <string>

namespace HvpTest {
namespace {

// Time that moves only when the loop waits.
class StepClock : public LoopClock {
public:
    std::uint64_t NowMicros() override { return now; }
    void SleepUntilMicros(std::uint64_t deadline) override { now = std::max(now, deadline); }
    void SpinUntilMicros(std::uint64_t deadline) override { now = std::max(now, deadline); }
    std::uint64_t now = 1000000000ULL;
};

class MoveEStopTest : public HvpRobotFixture {
protected:
    // The e-stop on an input the loop has not read yet (its cycle does not reach the
    // I/O here): every motion is refused all the same, saying so.
    void OpenEStop() {
        BrakeSettings settings = master->GetBrakeSettings();
        settings.eStopDInChannel = 7;
        master->SetBrakeSettings(settings);
        RobotMasterTestAccess::InitHold(*master).store(false);
        StepClock clock;
        master->RunCycle(clock);
        ASSERT_TRUE(master->IsEStopLatched());
    }
};

TEST_F(MoveEStopTest, MovesAndStartAtAreRefusedWhileTheEStopIsOpen) {
    OpenEStop();
    struct Case {
        const char* request;
        const char* reply;
        const char* line;
    };
    const Case cases[] = {
        {"CMD Move Joint 0 0 90 0 90 0 0 0 0 50", "CMDERROR 5 E-Stop detected",
         "HVP-Server: Move Joint requested but E-Stop input not read yet"},
        {"CMD Move Cart 300 0 400 0 180 0 0 0 0 50", "CMDERROR 5 E-Stop detected",
         "HVP-Server: Move Cart requested but E-Stop input not read yet"},
        {"CMD Move RelativeTool 0 0 10 0 0 0 0 0 0 20", "CMDERROR 5 E-Stop detected",
         "HVP-Server: Move RelativeTool requested but E-Stop input not read yet"},
        {"CMD StartAt main.xml 2", "CMDERROR 5 invalid command", "HVP-Server: StartAt requested but E-Stop input not read yet"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        TestSupport::LogCapture log;
        EXPECT_EQ(Replies(*active, c.request), std::vector<std::string>{c.reply});
        EXPECT_EQ(log.Count(c.line), 1);
        EXPECT_FALSE(master->GetMoveToInterpreter().IsProgramLoaded());
        EXPECT_FALSE(master->GetMainInterpreter().IsProgramLoaded());
    }
}

}  // namespace
}  // namespace HvpTest
