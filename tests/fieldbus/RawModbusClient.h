#pragma once

// A Modbus TCP client on a bare socket: requests are built byte by byte, answers read as
// they come, so that malformed and refused requests can be sent as well.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

namespace ModbusTest {

class RawModbusClient {
public:
    explicit RawModbusClient(int port, int timeoutMs = 10000) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~RawModbusClient() {
        if (fd >= 0) close(fd);
    }
    RawModbusClient(const RawModbusClient&) = delete;
    RawModbusClient& operator=(const RawModbusClient&) = delete;

    bool Connected() const { return connected; }

    // The MBAP header (transaction id, protocol 0, length, unit 1) in front of the PDU.
    static std::vector<std::uint8_t> Frame(std::uint16_t transaction, const std::vector<std::uint8_t>& pdu) {
        const auto length = static_cast<std::uint16_t>(pdu.size() + 1);
        std::vector<std::uint8_t> frame{static_cast<std::uint8_t>(transaction >> 8),
                                        static_cast<std::uint8_t>(transaction & 0xFF),
                                        0,
                                        0,
                                        static_cast<std::uint8_t>(length >> 8),
                                        static_cast<std::uint8_t>(length & 0xFF),
                                        1};
        frame.insert(frame.end(), pdu.begin(), pdu.end());
        return frame;
    }
    // Function code, then 16-bit words big-endian, then the tail bytes.
    static std::vector<std::uint8_t> Pdu(std::uint8_t function, const std::vector<std::uint16_t>& words,
                                         const std::vector<std::uint8_t>& tail = {}) {
        std::vector<std::uint8_t> pdu{function};
        for (std::uint16_t w : words) {
            pdu.push_back(static_cast<std::uint8_t>(w >> 8));
            pdu.push_back(static_cast<std::uint8_t>(w & 0xFF));
        }
        pdu.insert(pdu.end(), tail.begin(), tail.end());
        return pdu;
    }

    bool Send(const std::vector<std::uint8_t>& bytes) {
        return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

    // One answer (header and PDU); empty when none came or the server closed.
    std::vector<std::uint8_t> ReadAnswer() {
        std::vector<std::uint8_t> answer(7);
        if (!ReadExactly(answer.data(), 7)) return {};
        const int length = (answer[4] << 8) | answer[5];
        if (length < 1) return {};
        answer.resize(static_cast<size_t>(6 + length));
        if (!ReadExactly(answer.data() + 7, length - 1)) return {};
        return answer;
    }

    std::vector<std::uint8_t> Ask(const std::vector<std::uint8_t>& pdu) {
        if (!Send(Frame(++transaction, pdu))) return {};
        return ReadAnswer();
    }

    // Registers of a read answer (function 3 or 4).
    static std::vector<std::uint16_t> Registers(const std::vector<std::uint8_t>& answer) {
        std::vector<std::uint16_t> values;
        if (answer.size() < 9) return values;
        for (size_t i = 9; i + 1 < answer.size(); i += 2) values.push_back(static_cast<std::uint16_t>((answer[i] << 8) | answer[i + 1]));
        return values;
    }

    // True when the server closes the connection within timeoutMs.
    bool ClosedByServer(int timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return false;
        char byte;
        return recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
    }

private:
    bool ReadExactly(std::uint8_t* into, int count) {
        int got = 0;
        while (got < count) {
            const ssize_t n = recv(fd, into + got, static_cast<size_t>(count - got), 0);
            if (n <= 0) return false;
            got += static_cast<int>(n);
        }
        return true;
    }

    int fd = -1;
    bool connected = false;
    std::uint16_t transaction = 0;
};

}  // namespace ModbusTest
