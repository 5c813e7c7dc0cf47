// RobotMaster and the EM67 hand-shake: the robot master as the state machine's host, and
// the manual-operation entry.
#include "RobotMasterCommands.h"

#include "core/LogSingleton.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace TalvoStateMachine {

namespace {

class RobotMasterHost : public EM67Host {
public:
    RobotMasterHost(RobotMaster& m, IPO& ipo) : master(m), mainIpo(ipo) {}

    // The command mutex as a CommandLock takes it: tried on the loop, locked elsewhere.
    bool TryLockStep() override {
        std::recursive_mutex& mutex = RobotMasterInternals::CommandMutex(master);
        if (master.IsLoopThread()) return mutex.try_lock();
        mutex.lock();
        return true;
    }
    void UnlockStep() override { RobotMasterInternals::CommandMutex(master).unlock(); }

    bool IsActive() const override { return RobotMasterInternals::StateMachineActive(master).load(); }
    void SetActive(bool active) override { RobotMasterInternals::StateMachineActive(master).store(active); }
    bool Deactivate() override { return RobotMasterInternals::StateMachineActive(master).exchange(false); }

    void SetOutput(int channel, bool on) override { master.SetManualDOut(channel, on); }
    // Output requests are taken by the loop's next full cycle; none while it is held or
    // stopped, hence the bound.
    void WaitOutputApplied(int channel) override {
        if (!master.IsValidIONum(channel) || !master.IsMainLoopRunning() || master.IsLoopThread()) return;
        const auto bound = std::chrono::milliseconds(
            std::max(RobotMaster::kHoldAckMinimumMs, 10 * RobotMasterInternals::CycleTimeMs(master)));
        const auto until = std::chrono::steady_clock::now() + bound;
        while (RobotMasterInternals::Requests(master).dout[channel].load() != LoopRequests::kNone &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    void EnterStateMachineMotionMode() override { master.SetMotionMode(MOTION_FSM); }
    void RestoreMotionMode() override { master.SetMotionMode(RobotMasterInternals::SavedMotionType(master)); }
    void Show(const std::string& text) override { RobotMasterCommands::Show(master, text); }

    void SetReplaySingle() override { mainIpo.SetReplayMode(IPO::REPLAY_SINGLE); }
    bool IsInterpreterIdle() const override {
        return !mainIpo.IsLoading() && !mainIpo.IsReplayRunning();
    }
    void DeleteAll() override { mainIpo.DeleteAll(); }
    bool LoadProgram(const std::string& name) override { return mainIpo.LoadProgram(name, true) == 0; }
    bool IsProgramLoaded() const override { return mainIpo.IsProgramLoaded(); }
    // The step holds the command mutex, so StartProgram runs now; a refusal (permission,
    // referencing, the interpreter) leaves the program not replaying.
    bool StartProgram() override {
        master.StartProgram();
        return mainIpo.IsReplayRunning();
    }

private:
    RobotMaster& master;
    IPO& mainIpo;
};

}  // namespace

std::unique_ptr<EM67Host> MakeRobotMasterHost(RobotMaster& master, IPO& mainInterpreter) {
    return std::make_unique<RobotMasterHost>(master, mainInterpreter);
}

}  // namespace TalvoStateMachine

void RobotMaster::SetEM67ManualOperation() {
    // The pulse sleeps: never on the robot loop.
    if (IsLoopThread()) {
        LogSingleton::instance()->addError("RobotMaster: EM67 manual operation refused on the robot loop");
        return;
    }
    ErrorStateProgram(IPO::STOP_USER, false, "");
    // Without the command mutex: the pulse takes 300 ms and must not hold other commands.
    stateMachine.SetManualMode();
}
