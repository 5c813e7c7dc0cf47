#include "simbus/Signals.h"

#include <csignal>

namespace SimBus {

void InstallSignalHandler(int signalNumber, void (*handler)(int)) {
    struct sigaction action{};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signalNumber, &action, nullptr);
}

}  // namespace SimBus
