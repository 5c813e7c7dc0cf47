// PLC triggers in the robot loop: a trigger fires on a rising edge of its input, seen in
// two full cycles. Loading and starting happen on the robot master's load worker.
#include "control/PLCTriggerFiring.h"

#include "RobotMasterInternals.h"
#include "control/RobotMaster.h"
#include "core/LogSingleton.h"



void PLCTriggerFiring::Process(RobotMaster& master, const DataTypes::RobotState& state) {
    // A busy command mutex leaves the copy as it was; the next cycle refreshes it.
    if (triggers.Refresh(master)) {
        const std::uint32_t change = RobotMasterInternals::PLCTriggersChange(master);
        if (change != reportedChange) {
            reportedChange = change;
            reported = 0;
        }
    }
    auto& entries = triggers.Entries();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        PLCTriggerLoopCopy::Entry& entry = entries[i];
        const PLCTrigger::PLCInterfaceTrigger& trigger = entry.trigger;
        const int channel = trigger.GetChannel();
        if (channel < 0) continue;

        bool level = false;
        if (trigger.GetSignalType() == PLCTrigger::SignalDIn &&
            channel < DataTypes::RobotState::maxIOs) {
            level = state.DIn[channel];
        } else if (trigger.GetSignalType() == PLCTrigger::SignalGSig &&
                   channel < DataTypes::RobotState::maxSignals) {
            level = state.GSig[channel];
        } else {
            const std::uint32_t bit = 1u << i;
            if ((reported & bit) == 0) {
                reported |= bit;
                LogSingleton::instance()->addFormat(
                    "RobotMaster: PLC-Interface - Trigger %d: channel %d does not fit its signal "
                    "type, ignored",
                    static_cast<int>(i), channel);
            }
            continue;
        }

        if (trigger.IsActive() && level && !entry.previousLevel) {
            LogSingleton::instance()->addFormat("RobotMaster: PLC-Interface - Trigger %d detected!",
                                                static_cast<int>(i));
            if (trigger.GetTargetType() == PLCTrigger::TargetProgram) {
                master.LoadProgramAndStartAsync(trigger.GetTargetFileRelative(), IPO::STOP_PLC);
            }
        }
        entry.previousLevel = level;
    }
}
