// The robot loop's outbox: what the loop thread logs, the interpreter's events and
// variable changes leave through fixed rings and reach their receivers on the delivering
// thread, in order; a full ring drops the newest, counts them and says so once.

#include "control/LoopOutbox.h"
#include "program/ProgramMemory.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

std::string Numbered(int n) { return "outbox line " + std::to_string(n); }

// Makes the calling thread's log lines go to the outbox for the object's lifetime, as the
// robot loop's cycle does.
class ThreadSink {
public:
    explicit ThreadSink(LogThreadSink* sink) { LogSingleton::SetThreadSink(sink); }
    ~ThreadSink() { LogSingleton::SetThreadSink(nullptr); }
};

std::vector<std::string> OutboxLines(TestSupport::LogCapture& log) {
    std::vector<std::string> texts;
    for (const std::string& line : log.Lines()) {
        const std::size_t at = line.find(' ');
        const std::string text = at == std::string::npos ? line : line.substr(at + 1);
        if (text.rfind("outbox line", 0) == 0 || text.rfind("RobotLoop: outbox", 0) == 0) texts.push_back(text);
    }
    return texts;
}

TEST(LoopOutbox, LinesWaitForTheDeliveryAndKeepTheirOrder) {
    LoopOutbox outbox;
    TestSupport::LogCapture log;
    {
        ThreadSink sink(&outbox);
        for (int i = 0; i < 5; ++i) LogSingleton::instance()->add(Numbered(i));
        LogSingleton::instance()->addFormat("%s", Numbered(5).c_str());
    }
    EXPECT_TRUE(OutboxLines(log).empty()) << "a line went to the log on the posting thread";
    std::thread([&] { outbox.Deliver(); }).join();
    std::vector<std::string> expected;
    for (int i = 0; i <= 5; ++i) expected.push_back(Numbered(i));
    EXPECT_EQ(OutboxLines(log), expected);
}

TEST(LoopOutbox, AFullOutboxDropsTheNewestAndReportsTheCountOnceThereIsRoom) {
    LoopOutbox outbox;
    TestSupport::LogCapture log;
    constexpr int kPosted = LoopOutbox::kEffects + 7;
    {
        ThreadSink sink(&outbox);
        for (int i = 0; i < kPosted; ++i) LogSingleton::instance()->add(Numbered(i));
    }
    EXPECT_EQ(outbox.Dropped(), 7);
    outbox.Deliver();
    {
        ThreadSink sink(&outbox);
        LogSingleton::instance()->add(Numbered(kPosted));
    }
    outbox.Deliver();
    outbox.Deliver();  // nothing more to say

    std::vector<std::string> expected;
    for (int i = 0; i < LoopOutbox::kEffects; ++i) expected.push_back(Numbered(i));
    expected.push_back("RobotLoop: outbox full, 7 texts dropped");
    expected.push_back(Numbered(kPosted));
    EXPECT_EQ(OutboxLines(log), expected);
    EXPECT_EQ(outbox.Dropped(), 7);  // the total stays
}

TEST(LoopOutbox, EventsAndVariableChangesReachTheirReceiversOnTheDeliveringThread) {
    static std::vector<std::string> events;
    static std::thread::id eventThread;
    events.clear();
    LoopOutbox outbox;
    const auto callback = [](HVPEventType event, int command, int program, const std::string& text) {
        eventThread = std::this_thread::get_id();
        events.push_back(std::to_string(static_cast<int>(event)) + " " + std::to_string(command) + " " +
                         std::to_string(program) + " " + text);
    };
    outbox.PostEvent(callback, HVP_EVENT_END, 3, 1, "done");
    outbox.PostEvent(callback, HVP_EVENT_ERROR, 4, 1, "Kinematic error: Joint limit max reached");

    Programs::ProgramMemory memory;
    std::vector<std::string> changed;
    memory.changeCallback = [&](const Programs::MemoryPosition& v) { changed.push_back(v.name); };
    Programs::MemoryPosition variable;
    variable.name = "outbox_var";
    outbox.PostVariableChange(&memory, variable);
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(changed.empty());

    std::thread worker([&] { outbox.Deliver(); });
    const std::thread::id workerId = worker.get_id();
    worker.join();
    EXPECT_EQ(events, (std::vector<std::string>{std::to_string(static_cast<int>(HVP_EVENT_END)) + " 3 1 done",
                                                 std::to_string(static_cast<int>(HVP_EVENT_ERROR)) +
                                                     " 4 1 Kinematic error: Joint limit max reached"}));
    EXPECT_EQ(eventThread, workerId);
    EXPECT_EQ(changed, std::vector<std::string>{"outbox_var"});
}

}  // namespace
