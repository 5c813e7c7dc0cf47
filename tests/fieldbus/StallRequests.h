#pragma once

// The requests of a misbehaving Modbus client, in turn: refused ones (an illegal quantity,
// unknown function codes, a byte count that lies), half a request and an MBAP length that
// promises more than comes. Each goes out on a connection of its own, so that what one
// leaves unfinished never runs into the next. Shared by the tests and the bench.

#include "RawModbusClient.h"

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace ModbusTest {

struct StallRequest {
    const char* name;
    std::vector<std::uint8_t> bytes;  // as sent, MBAP header included
    std::uint8_t answerFunction;      // 0: no answer may come
    std::uint8_t exception;
};

inline std::vector<StallRequest> StallRequests() {
    using C = RawModbusClient;
    std::vector<std::uint8_t> half = C::Frame(1, C::Pdu(4, {0, 4}));
    half.resize(6);
    std::vector<std::uint8_t> lying = C::Frame(2, C::Pdu(4, {0, 4}));
    lying[5] = 20;  // 14 bytes more than sent
    // Two registers announced with 4 bytes, 2 bytes sent; the MBAP length matches what is sent.
    const std::vector<std::uint8_t> shortData = C::Frame(3, C::Pdu(16, {0, 2}, {4, 0, 1}));
    return {
        {"read 126 holding registers", C::Frame(4, C::Pdu(3, {0, 126})), 0x83, 0x03},
        {"function code 99", C::Frame(5, C::Pdu(99, {0, 1})), 0xE3, 0x01},
        {"function code 7", C::Frame(6, C::Pdu(7, {})), 0x87, 0x01},
        {"half a request", half, 0, 0},
        {"lying length", lying, 0, 0},
        {"byte count beyond the request", shortData, 0x90, 0x03},
    };
}

// Sends one request on a new connection; an answer is awaited (up to 2 s) when one is due,
// otherwise the connection is held for holdMs with its request unfinished. Returns the
// answer (empty when none came) and sets tookMs to the wait for it.
inline std::vector<std::uint8_t> SendStallRequest(int port, const StallRequest& request, int holdMs, double& tookMs) {
    RawModbusClient client(port, request.answerFunction != 0 ? 2000 : 50);
    const auto sent = std::chrono::steady_clock::now();
    if (!client.Send(request.bytes)) return {};
    std::vector<std::uint8_t> answer;
    if (request.answerFunction != 0) {
        answer = client.ReadAnswer();
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
        answer = client.ReadAnswer();  // must stay empty
    }
    tookMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count();
    return answer;
}

}  // namespace ModbusTest
