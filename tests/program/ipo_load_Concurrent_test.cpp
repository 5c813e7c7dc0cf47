// Loads from several threads at once, racing with DeleteAll and with readers.

#include "IpoTestSupport.h"
#include "testsupport/IpoTestAccess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

class LoadConcurrentTest : public ::testing::Test {
protected:
    void SetUp() override {
        IpoTest::SetFixtureRobot();
        IpoTest::CopyFixtures();
        ipo = IpoTest::MakeIpo(&mem.memory);
    }
    void TearDown() override { ASSERT_TRUE(IpoTest::WaitFor([&] { return !ipo->IsLoading(); })); }

    IpoTest::Memory mem;
    std::unique_ptr<IPO> ipo;
};

TEST_F(LoadConcurrentTest, EightClientsLoadingAtOnceStartOneLoad) {
    constexpr int kThreads = 8;
    std::atomic<int> ready{0};
    std::atomic<int> accepted{0};
    std::atomic<int> refused{0};
    // Holding the interpreter's lock keeps the accepted load from finishing before every
    // client has asked, however fast the machine.
    std::unique_lock<std::mutex> hold(IpoTestAccess::ProgramMutex(*ipo));
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
                std::this_thread::yield();
            }
            const int answer = ipo->LoadProgram("every_element.xml", true);
            (answer == 0 ? accepted : refused).fetch_add(1);
            EXPECT_TRUE(answer == 0 || answer == 2) << answer;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_TRUE(ipo->IsLoading());
    hold.unlock();
    EXPECT_EQ(accepted.load(), 1);
    EXPECT_EQ(refused.load(), kThreads - 1);
    ASSERT_TRUE(IpoTest::WaitFor([&] { return !ipo->IsLoading(); }));
    EXPECT_TRUE(ipo->IsProgramLoaded());
    EXPECT_EQ(ipo->GetProgramSummaries().size(), 3u);
    EXPECT_EQ(ipo->GetLoadedProgramName(), "every_element.xml");
}

TEST_F(LoadConcurrentTest, LoadsDeleteAllAndReadersRace) {
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0};

    std::thread loader([&] {
        const char* files[] = {"every_element.xml", "subs/sub1.xml", "errors/unclosed_if.xml"};
        for (int i = 0; i < 60; ++i) {
            if (ipo->LoadProgram(files[i % 3], true) == 0) {
                IpoTest::WaitFor([&] { return !ipo->IsLoading(); });
            }
        }
    });
    std::thread deleter([&] {
        for (int i = 0; i < 60; ++i) {
            ipo->DeleteAll();
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    std::thread offsets([&] {
        float values[15] = {};
        for (int i = 0; i < 60; ++i) {
            values[0] = static_cast<float>(i);
            ipo->OffsetSet(values);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                const auto summaries = ipo->GetProgramSummaries();
                const std::string name = ipo->GetLoadedProgramName();
                (void)ipo->IsProgramLoaded();
                (void)ipo->GetLoadedPointCount();
                (void)ipo->GetRunState();
                (void)ipo->IsLoading();
                float values[15];
                ipo->GetOffsets(values);
                {
                    // A load is installed whole: never a main program without its
                    // commands or without its sub-programs.
                    std::lock_guard<std::mutex> lock(IpoTestAccess::ProgramMutex(*ipo));
                    if (!IpoTestAccess::Programs(*ipo).empty()) {
                        const RobotProgram& main = IpoTestAccess::Programs(*ipo)[0];
                        EXPECT_FALSE(main.commands.empty());
                        if (main.name == "every_element.xml") {
                            EXPECT_EQ(IpoTestAccess::Programs(*ipo).size(), 3u);
                            EXPECT_EQ(main.commands.size(), 26u);
                        } else {
                            EXPECT_EQ(main.name, "subs/sub1.xml");
                            EXPECT_EQ(IpoTestAccess::Programs(*ipo).size(), 2u);
                        }
                    }
                }
                reads.fetch_add(1);
                std::this_thread::yield();
            }
        });
    }
    loader.join();
    deleter.join();
    offsets.join();
    stop.store(true);
    for (auto& t : readers) t.join();
    EXPECT_GT(reads.load(), 0);
}

TEST_F(LoadConcurrentTest, AnInterpreterGoingAwayWaitsForItsLoad) {
    for (int i = 0; i < 5; ++i) {
        auto local = IpoTest::MakeIpo(&mem.memory);
        ASSERT_EQ(local->LoadProgram("every_element.xml", true), 0);
        local.reset();  // must not leave the loading thread on a dead object
    }
}

}  // namespace
