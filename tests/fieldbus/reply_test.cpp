// The request path around the library's reply: which callbacks run for which request.
#include "RawModbusClient.h"
#include "fieldbus/ModbusWrapper.h"
#include "testsupport/TestSupport.h"

#include <modbus/modbus.h>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using ModbusTest::RawModbusClient;

std::vector<std::string> calls;
bool throwOnRead = false;
bool throwOnWrite = false;

void Note(const char* what, std::uint16_t address, int count) {
    calls.push_back(std::string(what) + " " + std::to_string(address) + " " + std::to_string(count));
}
void ReadDi(std::uint16_t a, int n) { Note("readDI", a, n); }
void ReadCo(std::uint16_t a, int n) {
    Note("readCO", a, n);
    if (throwOnRead) throw std::runtime_error("read failed");
}
void ReadIr(std::uint16_t a, int n) { Note("readIR", a, n); }
void ReadHr(std::uint16_t a, int n) { Note("readHR", a, n); }
void WriteCo(std::uint16_t a, int n) {
    Note("writeCO", a, n);
    if (throwOnWrite) throw std::runtime_error("write failed");
}
void WriteHr(std::uint16_t a, int n) { Note("writeHR", a, n); }

class ModbusReply : public ::testing::Test {
protected:
    void SetUp() override {
        calls.clear();
        throwOnRead = throwOnWrite = false;
        callbacks.SetupCallbacks(ReadDi, ReadCo, ReadIr, ReadHr, WriteCo, WriteHr);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
        context = modbus_new_tcp("127.0.0.1", 1502);
        ASSERT_NE(context, nullptr);
        modbus_set_socket(context, sockets[0]);
        mapping = modbus_mapping_new(428, 428, 750, 750);
        ASSERT_NE(mapping, nullptr);
    }
    void TearDown() override {
        modbus_mapping_free(mapping);
        modbus_free(context);
        close(sockets[0]);
        close(sockets[1]);
    }
    // Function code, then big-endian words, after an MBAP header; returns Reply's result and
    // leaves the answer in answer.
    int Ask(std::uint8_t function, std::initializer_list<std::uint16_t> words, std::vector<std::uint8_t> tail = {}) {
        return AskRaw(RawModbusClient::Pdu(function, words, tail));
    }
    int AskRaw(const std::vector<std::uint8_t>& pdu) {
        const std::vector<std::uint8_t> request = RawModbusClient::Frame(1, pdu);
        const int result = Modbus::Reply(context, request.data(), static_cast<int>(request.size()), mapping, callbacks);
        answer.assign(300, 0);
        const ssize_t n = result > 0 ? recv(sockets[1], answer.data(), answer.size(), 0) : 0;
        answer.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return result;
    }
    int sockets[2] = {-1, -1};
    modbus_t* context = nullptr;
    modbus_mapping_t* mapping = nullptr;
    Modbus::Callbacks callbacks;
    std::vector<std::uint8_t> answer;
};

TEST_F(ModbusReply, RefusedRequestsRunNoWriteCallback) {
    struct Case {
        const char* name;
        std::uint8_t function;
        std::vector<std::uint16_t> words;
        std::uint8_t answerFunction, exception;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"coil read count 2001", 1, {0, 2001}, 0x81, 3, {}},
        {"coil read past the end", 1, {400, 100}, 0x81, 2, {"readCO 400 100"}},
        {"single coil value 0x1234", 5, {53, 0x1234}, 0x85, 3, {}},
        {"register write past the end", 6, {750, 1}, 0x86, 2, {}},
        {"unknown function", 99, {0, 1}, 0xE3, 1, {}},
    };
    for (const Case& c : cases) {
        calls.clear();
        EXPECT_EQ(AskRaw(RawModbusClient::Pdu(c.function, c.words)), Modbus::kExceptionAnswerLength) << c.name;
        ASSERT_EQ(answer.size(), 9u) << c.name;
        EXPECT_EQ(answer[7], c.answerFunction) << c.name;
        EXPECT_EQ(answer[8], c.exception) << c.name;
        EXPECT_EQ(calls, c.calls) << c.name;
    }
}

// What the library refuses only after sleeping its response time-out (0.5 s), what it never
// answers (function code 7) and requests shorter than their function needs: answered at
// once with the exception, no callback.
TEST_F(ModbusReply, RefusedAtOnceWithoutTheLibrarysWait) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> pdu;
        std::uint8_t exception;
    };
    using C = RawModbusClient;
    const Case cases[] = {
        {"read exception status", {7}, 1},
        {"unknown function 99", C::Pdu(99, {0, 1}), 1},
        {"unknown function 8", C::Pdu(8, {0, 0}), 1},
        {"read 0 coils", C::Pdu(1, {0, 0}), 3},
        {"read 126 holding registers", C::Pdu(3, {0, 126}), 3},
        {"read 126 input registers", C::Pdu(4, {0, 126}), 3},
        {"read without a count", C::Pdu(3, {0}), 3},
        {"write 1969 coils", C::Pdu(15, {0, 1969}, {247}), 3},
        {"coil bytes too few for the count", C::Pdu(15, {0, 9}, {1, 0xFF}), 3},
        {"coil data shorter than its byte count", C::Pdu(15, {0, 9}, {2, 0xFF}), 3},
        {"write 124 registers", C::Pdu(16, {0, 124}, {248}), 3},
        {"register byte count not twice the count", C::Pdu(16, {0, 2}, {2, 0, 1}), 3},
        {"register data shorter than its byte count", C::Pdu(16, {0, 2}, {4, 0, 1}), 3},
        {"write-read of 122 registers", C::Pdu(23, {0, 1, 0, 122}, {244}), 3},
        {"write-read reading 126", C::Pdu(23, {0, 126, 0, 1}, {2, 0, 1}), 3},
        {"mask write without the or-mask", C::Pdu(22, {207, 0xFFFF}), 3},
    };
    for (const Case& c : cases) {
        calls.clear();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(AskRaw(c.pdu), Modbus::kExceptionAnswerLength) << c.name;
        const auto took = std::chrono::steady_clock::now() - start;
        ASSERT_EQ(answer.size(), 9u) << c.name;
        EXPECT_EQ(answer[7], c.pdu[0] | 0x80) << c.name;
        EXPECT_EQ(answer[8], c.exception) << c.name;
        EXPECT_TRUE(calls.empty()) << c.name;
        EXPECT_LT(took, std::chrono::milliseconds(250)) << c.name;  // microseconds expected
    }
    EXPECT_EQ(mapping->tab_registers[0], 0);  // nothing refused was written
}

TEST_F(ModbusReply, AcceptedRequestsRunTheirCallbacks) {
    struct Case {
        const char* name;
        std::uint8_t function;
        std::vector<std::uint16_t> words;
        std::vector<std::uint8_t> tail;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"read coils", 1, {10, 5}, {}, {"readCO 10 5"}},
        {"read inputs", 2, {61, 12}, {}, {"readDI 61 12"}},
        {"read holding", 3, {181, 6}, {}, {"readHR 181 6"}},
        {"read input registers", 4, {0, 125}, {}, {"readIR 0 125"}},
        {"write coil", 5, {52, 0xFF00}, {}, {"writeCO 52 1"}},
        {"write register", 6, {187, 10000}, {}, {"writeHR 187 1"}},
        {"write coils", 15, {290, 10}, {2, 0xFF, 0x03}, {"writeCO 290 10"}},
        {"write registers", 16, {181, 2}, {4, 0, 100, 0, 0}, {"writeHR 181 2"}},
        {"mask write", 22, {207, 0xFFFF, 0x0001}, {}, {"writeHR 207 1"}},
        // The read part is refreshed before the answer as well as after the write.
        {"write and read", 23, {187, 2, 181, 1}, {2, 0, 50}, {"readHR 187 2", "writeHR 181 1", "readHR 187 2"}},
    };
    for (const Case& c : cases) {
        calls.clear();
        EXPECT_GT(AskRaw(RawModbusClient::Pdu(c.function, c.words, c.tail)), Modbus::kExceptionAnswerLength) << c.name;
        ASSERT_GE(answer.size(), 8u) << c.name;
        EXPECT_EQ(answer[7], c.function) << c.name;
        EXPECT_EQ(calls, c.calls) << c.name;
    }
    EXPECT_EQ(mapping->tab_registers[181], 50);
}

TEST_F(ModbusReply, ShortRequestsAndMissingContext) {
    // Report server id: 8 bytes, answered without any callback.
    EXPECT_GT(AskRaw({0x11}), 0);
    EXPECT_TRUE(calls.empty());

    TestSupport::LogCapture log;
    const std::uint8_t request[12] = {0, 1, 0, 0, 0, 6, 1, 1, 0, 0, 0, 1};
    errno = 0;
    EXPECT_EQ(Modbus::Reply(nullptr, request, 12, mapping, callbacks), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(log.Contains("Modbus: Can not send response, context is NULL"));
    EXPECT_TRUE(calls.empty());
}

TEST_F(ModbusReply, CallbackExceptionsAreLoggedAndReportedAsCancelled) {
    TestSupport::LogCapture log;
    throwOnRead = true;
    EXPECT_EQ(Ask(1, {10, 5}), -1);
    EXPECT_EQ(errno, ECANCELED);
    EXPECT_TRUE(answer.empty());  // no answer to a failed read
    EXPECT_TRUE(log.Contains("Modbus: Exception during read (function code 1, address 10, count 5)"));

    throwOnWrite = true;
    EXPECT_EQ(Ask(5, {52, 0xFF00}), -1);
    EXPECT_EQ(errno, ECANCELED);
    EXPECT_TRUE(log.Contains("Modbus: Exception during write (function code 5, address 52, count 65280): write failed"));
}

}  // namespace
