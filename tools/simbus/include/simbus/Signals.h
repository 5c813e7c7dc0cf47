#pragma once

namespace SimBus {

// Installs handler for signalNumber (sigaction, no flags, nothing blocked meanwhile).
void InstallSignalHandler(int signalNumber, void (*handler)(int));

}  // namespace SimBus
