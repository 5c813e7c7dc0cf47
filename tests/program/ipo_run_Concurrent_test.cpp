// Run control, loading, teach-in, direct moves and readers race a 1 ms stand-in robot loop that runs motions on
// both planners. Run under ThreadSanitizer; the figures of missed cycles are printed.

#include "IpoRunSupport.h"
#include "testsupport/IpoTestAccess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* kProgram =
    "<Program>"
    "<Joint Nr=\"1\" a1=\"10\" a2=\"5\" a3=\"3\" velPercent=\"100\" acc=\"100\" smooth=\"50\" AbortCondition=\"false\"/>"
    "<Joint Nr=\"2\" a1=\"20\" a2=\"-5\" a3=\"6\" velPercent=\"100\" acc=\"100\" smooth=\"0\" AbortCondition=\"din1\"/>"
    "<Store Nr=\"3\" Type=\"number\" Name=\"n\" Value=\"1\"/>"
    "<MathOperator Nr=\"4\" Function=\"ADD\" FirstOperand=\"n\" SecondOperand=\"1\"/>"
    "<Joint Nr=\"5\" a1=\"0\" a2=\"0\" a3=\"0\" velPercent=\"100\" acc=\"100\" smooth=\"0\" AbortCondition=\"n &gt; 5\"/>"
    "<Wait Nr=\"6\" Type=\"Time\" Seconds=\"0.005\"/>"
    "</Program>";

const char* kLinearProgram =
    "<Program>"
    "<Linear Nr=\"1\" x=\"20\" y=\"10\" z=\"5\" a=\"0\" b=\"0\" c=\"0\" vel=\"250\" acc=\"100\" smooth=\"50\" "
    "AbortCondition=\"false\"/>"
    "<Linear Nr=\"2\" x=\"0\" y=\"0\" z=\"0\" a=\"0\" b=\"0\" c=\"0\" vel=\"250\" acc=\"100\" smooth=\"0\" "
    "AbortCondition=\"false\"/>"
    "<Output Nr=\"3\" Channel=\"DOut1\" State=\"True\"/>"
    "</Program>";

TEST(IpoRunConcurrent, RunControlLoadsAndReadersRaceTheLoopOnBothPlanners) {
    IpoTest::SetFixtureRobot();
    IpoTest::WriteProgram("race_joint.xml", kProgram);
    IpoTest::WriteProgram("race_linear.xml", kLinearProgram);
    IpoTest::Memory mem;
    auto joint = IpoTest::MakeArmIpo(&mem.memory, PATHGEN_JOINT, IPO::IPO_MAIN, std::make_unique<IpoTest::TestKinematic>());
    auto linear = IpoTest::MakeArmIpo(&mem.memory, PATHGEN_LINEAR, IPO::IPO_MOVETO,
                                      std::make_unique<IpoTest::TestKinematic>());
    linear->SetReplayMode(IPO::REPLAY_REPEAT);
    ASSERT_EQ(joint->LoadProgramSynchronous("race_joint.xml", true), 0);
    ASSERT_EQ(linear->LoadProgramSynchronous("race_linear.xml", true), 0);
    joint->Start();
    linear->Start();

    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    {
        IpoTest::StandInLoopThread loopJoint(*joint, std::make_unique<IpoTest::TestKinematic>(),
                                             std::chrono::microseconds(1000));
        IpoTest::StandInLoopThread loopLinear(*linear, std::make_unique<IpoTest::TestKinematic>(),
                                              std::chrono::microseconds(1000));

        auto repeat = [&done](std::function<void(std::mt19937&)> body, unsigned seed) {
            return std::thread([&done, body, seed] {
                std::mt19937 random(seed);
                while (!done.load()) {
                    body(random);
                    std::this_thread::sleep_for(std::chrono::milliseconds(3 + random() % 20));
                }
            });
        };
        for (IPO* ipo : {joint.get(), linear.get()}) {
            const std::string file = ipo == joint.get() ? "race_joint.xml" : "race_linear.xml";
            threads.push_back(repeat(
                [ipo](std::mt19937& r) {
                    switch (r() % 6) {
                        case 0: ipo->Pause(IPO::STOP_USER); break;
                        case 1: ipo->Stop(IPO::STOP_PLC, ""); break;
                        case 2: ipo->RestartCommand(); break;
                        default: ipo->Start(); break;
                    }
                },
                ipo == joint.get() ? 1u : 2u));
            threads.push_back(repeat(
                [ipo, file](std::mt19937& r) {
                    switch (r() % 9) {
                        case 0:
                            ipo->Stop(IPO::STOP_USER, "");
                            ipo->DeleteAll();
                            break;
                        case 1: ipo->LoadProgram(file, true); break;
                        case 2:
                            try {
                                ipo->StartAt(file, static_cast<int>(r() % 4));
                            } catch (const std::runtime_error&) {
                            }
                            break;
                        case 4: {
                            // Teach-in appends to a stopped program; a direct move replaces it.
                            const float target[9] = {5, 5, 5, 0, 0, 0, 0, 0, 0};
                            if (ipo->GetType() == IPO::IPO_MOVETO) {
                                ipo->MoveJoint(target, 50.0f);
                            } else {
                                ipo->AddCommandJoint(9, 9, target, 50.0f);
                            }
                            break;
                        }
                        case 3: {
                            float offsets[IPO::kNrOffsets] = {};
                            offsets[0] = static_cast<float>(r() % 3);
                            ipo->OffsetSet(offsets);
                            break;
                        }
                        default: ipo->Start(); break;
                    }
                },
                ipo == joint.get() ? 3u : 4u));
            threads.push_back(repeat(
                [ipo, seen = std::make_shared<IPO::ProgramInfoSeen>(),
                 loopName = std::make_shared<std::string>()](std::mt19937&) {
                    int sum = ipo->GetRunState() + ipo->GetCurrentPoint() + ipo->GetActiveProgram();
                    // The robot loop's read, with what it last saw kept between calls.
                    int loopCount = 0;
                    int loopPoint = 0;
                    ipo->ReadProgramInformation(*seen, loopName.get(), &loopCount, &loopPoint);
                    sum += loopCount + loopPoint + static_cast<int>(loopName->size());
                    for (const auto& s : ipo->GetProgramSummaries()) sum += s.commandCount;
                    sum += static_cast<int>(ipo->GetLoadedProgramName().size());
                    sum += ipo->IsProgramLoaded() ? 1 : 0;
                    std::string name;
                    int count = 0;
                    int point = 0;
                    ipo->GetProgramInformation(&name, &count, &point);
                    sum += count + point;
                    (void)sum;
                },
                ipo == joint.get() ? 5u : 6u));
        }
        std::this_thread::sleep_for(std::chrono::seconds(5));
        done.store(true);
        for (std::thread& t : threads) t.join();
        loopJoint.Join();
        loopLinear.Join();
        std::printf("stand-in loops: joint %lld cycles, %lld missed; linear %lld cycles, %lld missed\n",
                    loopJoint.Cycles(), joint->GetMissedCycles(), loopLinear.Cycles(), linear->GetMissedCycles());
        EXPECT_GT(loopJoint.Cycles(), 100);
        EXPECT_GT(loopLinear.Cycles(), 100);
    }

    // Still usable afterwards: a fresh load runs to its end.
    for (IPO* ipo : {joint.get(), linear.get()}) {
        ipo->Stop(IPO::STOP_USER, "");
        ipo->DeleteAll();
        ASSERT_TRUE(IpoTest::WaitFor([ipo] { return !ipo->IsLoading() && IpoTestAccess::StartAtThreads(*ipo).load() == 0; }));
        ipo->DeleteAll();
        ipo->SetReplayMode(IPO::REPLAY_SINGLE);
        ASSERT_EQ(ipo->LoadProgramSynchronous(ipo == joint.get() ? "race_joint.xml" : "race_linear.xml", true), 0);
        ipo->Start();
        IpoTest::StandInLoop loop(std::make_unique<IpoTest::TestKinematic>());
        EXPECT_TRUE(loop.RunToEnd(*ipo, 10, 60000));
        EXPECT_EQ(ipo->GetRunState(), IPO::RUNSTATE_STOPPED);
    }
    IpoTest::EventLog::Take();
}

}  // namespace
