// belvanto-canhub: the virtual CAN bus for machines whose kernel has no CAN.
//
//   belvanto-canhub [SOCKET] [--pcap FILE]
//
// SOCKET defaults to $BELVANTO_CAN_HUB. Endpoints started with BELVANTO_CAN_HUB=SOCKET
// (the controller, the drive simulator) share one bus; each frame reaches every endpoint
// but its sender; records that are no classic CAN frame (16 bytes, length 0..8) are
// dropped. With --pcap every frame is recorded for tshark or Wireshark. Runs until
// SIGINT or SIGTERM.

#include "platform/CanSocket.h"
#include "platform/VirtualCanHub.h"

#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int Usage(const char* program) {
    std::fprintf(stderr, "usage: %s [SOCKET] [--pcap FILE]\n(SOCKET defaults to $%s)\n", program,
                 Platform::kCanHubEnvironment);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string socketPath;
    std::string pcapPath;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--pcap") == 0 && i + 1 < argc) {
            pcapPath = argv[++i];
        } else if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            Usage(argv[0]);
            return 0;
        } else if (argv[i][0] != '-' && socketPath.empty()) {
            socketPath = argv[i];
        } else {
            return Usage(argv[0]);
        }
    }
    if (socketPath.empty()) {
        const char* env = std::getenv(Platform::kCanHubEnvironment);
        if (env == nullptr || env[0] == '\0') {
            return Usage(argv[0]);
        }
        socketPath = env;
    }

    // The signals are taken synchronously below; the relay thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    Platform::VirtualCanHub hub;
    if (hub.Start(socketPath, pcapPath) != 0) {
        std::fprintf(stderr, "belvanto-canhub: %s\n", hub.ErrorText().c_str());
        return 1;
    }
    std::printf("belvanto-canhub: listening on %s%s%s\n", socketPath.c_str(),
                pcapPath.empty() ? "" : ", recording to ", pcapPath.c_str());
    std::fflush(stdout);
    int received = 0;
    sigwait(&stopSignals, &received);
    unsigned long long frames = hub.FrameCount();
    unsigned long long dropped = hub.DroppedCount();
    hub.Stop();
    // Read after Stop: the recording's backlog is written out by then.
    unsigned long long unrecorded = hub.PcapDroppedCount();
    std::printf("belvanto-canhub: stopped after %llu frames (%llu malformed records dropped)\n", frames,
                dropped);
    if (unrecorded != 0) {
        std::printf("belvanto-canhub: %llu frames not recorded, the pcap file fell behind\n", unrecorded);
    }
    return 0;
}
