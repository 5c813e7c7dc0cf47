// The CAN interface on the kernel's own SocketCAN stack. Runs inside the qemu guest that
// run_qemu_can_test.sh boots, where "can0" is a vcan interface; a second raw socket on
// can0 plays the drives, since vcan hands every frame to the other sockets on the link.
// The cases are the ones every backend shares (tests/hardware/can_interface_cases.h).
#include "../hardware/can_interface_cases.h"

#include "platform/CanSocket.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

using namespace CanInterfaceTesting;

// can0 in the guest; the environment names no hub.
struct KernelBus {
    static constexpr CanSocket::Backend kBackend = CanSocket::Backend::Kernel;
    // The guest may run in software emulation.
    static constexpr int kWaitMs = 5000;
    static constexpr int kFreshAge = 50000;

    void SetUp(std::unique_ptr<CanSocket>& peer) {
        ::unsetenv(Platform::kCanHubEnvironment);  // the kernel backend, not the hub
        peer = std::make_unique<CanSocket>(CanSocket::Backend::Kernel);
        ASSERT_EQ(0, peer->Open("can0")) << "no can0 in this kernel";
    }
    void TearDown() {}
    // vcan shows no endpoints.
    bool OnlyPeerLeft() { return true; }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Kernel, CanInterfaceCases, KernelBus);
