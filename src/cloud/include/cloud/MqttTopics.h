#pragma once

// Topic suffixes of the cloud link; each topic is the topic base followed by one of them.

namespace Cloud {
namespace MqttTopics {

constexpr const char* BasicsRobotName = "/Basics/RobotName";
constexpr const char* BasicsRobotOwner = "/Basics/RobotOwner";
constexpr const char* BasicsConnectionStatus = "/Basics/ConnectionStatus";
constexpr const char* BasicsSWVersion = "/Basics/SWVersion";
constexpr const char* BasicsSWDeviceID = "/Basics/DeviceID";
constexpr const char* BasicsSWType = "/Basics/Type";
constexpr const char* BasicsModuleCount = "/Basics/ModuleCount";
constexpr const char* StatusLastMessageTopic = "/Status/LastMessage";
constexpr const char* StatusErrorStringTopic = "/Status/ErrorString";
constexpr const char* StatusErrorCodesTopic = "/Status/ErrorCodes";
constexpr const char* StatusTemperaturesPCBTopic = "/Status/TemperaturesPCB";
constexpr const char* StatusProgramRunningTopic = "/Status/ProgramRunning";
constexpr const char* StatusSubProgramsTopic = "/Status/SubPrograms";
constexpr const char* StatusCurrentCommandTopic = "/Status/CurrentCommand";
constexpr const char* StatisticsUpTimeCompleteTopic = "/Statistics/UpTimeComplete";
constexpr const char* StatisticsUpTimeLastTopic = "/Statistics/UpTimeLast";
constexpr const char* StatisticsUpTimeEnabledTopic = "/Statistics/UpTimeEnabled";
constexpr const char* StatisticsUpTimeMotionTopic = "/Statistics/UpTimeMotion";
constexpr const char* StatisticsProgramStartsTopic = "/Statistics/ProgramStarts";
constexpr const char* ImageEnvironmentTopic = "/Pictures/2DEnvironment";
constexpr const char* ImageWorkareaTopic = "/Pictures/2DWorkarea";

}  // namespace MqttTopics
}  // namespace Cloud
