#pragma once

// The text that names this controller. It keys the stored cloud credentials and is the
// cloud link's default client ID, so it must stay the same across restarts and hold more
// than 8 characters.

#include <string>

namespace DeviceIdentity {

// The identity of this controller: "/etc/machine-id" when it holds more than 8 characters,
// otherwise the fallback kept in the data root. Read once per process (or the override).
std::string GetDeviceId();

// The identity from machineIdFile (surrounding white space removed) when it holds more than
// 8 characters; otherwise the one kept in dataRoot + kFallbackFile, which is made (32
// random hex digits, written atomically) when missing or too short.
std::string ReadDeviceId(const std::string& machineIdFile, const std::string& dataRoot);

// Replaces the identity for tests; an empty text returns to the normal source.
void SetDeviceIdOverride(const std::string& id);

constexpr const char* kMachineIdFile = "/etc/machine-id";
constexpr const char* kFallbackFile = "deviceIdentity.txt";

}  // namespace DeviceIdentity
