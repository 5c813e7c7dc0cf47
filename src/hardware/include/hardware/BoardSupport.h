#pragma once

// Which embedded board the controller runs on, and its CPU temperature. Both come from
// files; a file that is missing or unreadable gives "unknown" and 0.0, never an error.
// The file paths can be pointed elsewhere (tests); set them before the readers run.

#include <atomic>
#include <string>

namespace Hardware {
namespace BoardSupport {

enum BoardType : int {
    Phytec = 0,
    Raspberry = 1,
    Unknown = 2,
};

// The detected type; Unknown until a detection found a board.
extern std::atomic<BoardType> boardType;

// The type, detected first while it is still Unknown (so an undetected board reads the
// issue file at every call).
BoardType GetBoardType();
// Reads at most 1024 characters of the issue file: "Raspbian" gives Raspberry, else
// "Phytec" gives Phytec, else Unknown.
void DetectBoardType();
// "Phytec", "Raspberry", any other value "unknown".
const char* BoardTypeToString(BoardType type);
// Degrees Celsius from the thermal zone's millidegrees; 0.0 when it cannot be read.
double GetCPUTemperature();

// Default "/etc/issue" and "/sys/class/thermal/thermal_zone0/temp".
void SetIssuePath(const std::string& path);
void SetThermalZonePath(const std::string& path);
std::string GetIssuePath();
std::string GetThermalZonePath();

}  // namespace BoardSupport
}  // namespace Hardware
