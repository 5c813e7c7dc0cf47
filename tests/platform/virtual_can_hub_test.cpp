#include "platform/CanSocket.h"
#include "platform/VirtualCanHub.h"
#include "testsupport/CanFrames.h"
#include "testsupport/SilentCanHub.h"
#include "testsupport/WaitUntil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using Platform::CanSocket;
using Platform::VirtualCanHub;
using TestSupport::MakeFrame;

namespace {

// Sockets live in the test's temporary working folder (short enough for sun_path).
std::string TempPath(const std::string& name) {
    return (std::filesystem::current_path() / name).string();
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 5000) {
    return TestSupport::WaitUntil(condition, timeoutMs);
}

bool SameFrame(const can_frame& a, const can_frame& b) {
    return a.can_id == b.can_id && a.can_dlc == b.can_dlc &&
           std::memcmp(a.data, b.data, a.can_dlc) == 0;
}

class HubTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        socketPath = TempPath(std::string(info->name()) + ".sock");
        pcapPath = TempPath(std::string(info->name()) + ".pcap");
    }

    void StartHub(bool record = false) {
        ASSERT_EQ(0, hub.Start(socketPath, record ? pcapPath : "")) << hub.ErrorText();
    }

    std::unique_ptr<CanSocket> Attach() {
        auto endpoint = std::make_unique<CanSocket>(CanSocket::Backend::VirtualHub, socketPath);
        EXPECT_EQ(0, endpoint->Open("can0"));
        return endpoint;
    }

    // Attaches n endpoints and waits until the hub serves all of them, so that no frame
    // is sent before every receiver is registered.
    std::vector<std::unique_ptr<CanSocket>> AttachAll(int n) {
        std::vector<std::unique_ptr<CanSocket>> endpoints;
        for (int i = 0; i < n; ++i) {
            endpoints.push_back(Attach());
        }
        EXPECT_TRUE(WaitFor([&] { return hub.EndpointCount() == n; }));
        return endpoints;
    }

    VirtualCanHub hub;
    std::string socketPath;
    std::string pcapPath;
};

TEST_F(HubTest, RelaysEachFrameToEveryOtherEndpointButNotBackToTheSender) {
    StartHub();
    auto endpoints = AttachAll(3);
    for (std::size_t sender = 0; sender < endpoints.size(); ++sender) {
        SCOPED_TRACE("sender " + std::to_string(sender));
        can_frame sent = MakeFrame(0x100 + sender, {1, 2, static_cast<unsigned char>(sender)});
        ASSERT_EQ(0, endpoints[sender]->Write(sent));
        for (std::size_t receiver = 0; receiver < endpoints.size(); ++receiver) {
            if (receiver == sender) {
                continue;
            }
            ASSERT_EQ(1, endpoints[receiver]->WaitReadable(2000));
            can_frame got{};
            ASSERT_EQ(static_cast<int>(Platform::kCanFrameSize), endpoints[receiver]->Read(&got));
            EXPECT_TRUE(SameFrame(sent, got));
        }
        EXPECT_EQ(0, endpoints[sender]->WaitReadable(100)) << "the sender heard its own frame";
    }
    EXPECT_EQ(3u, hub.FrameCount());
}

TEST_F(HubTest, CountsEndpointsAndEndsTheirLinksOnStop) {
    StartHub();
    auto endpoints = AttachAll(2);
    endpoints[0]->Close();
    EXPECT_TRUE(WaitFor([&] { return hub.EndpointCount() == 1; }));

    hub.Stop();
    EXPECT_FALSE(hub.IsRunning());
    EXPECT_EQ(0, hub.EndpointCount());
    EXPECT_FALSE(std::filesystem::exists(socketPath));
    // The remaining endpoint sees the hub go away as a reset, and its writes fail
    // without a SIGPIPE.
    ASSERT_EQ(1, endpoints[1]->WaitReadable(2000));
    can_frame frame{};
    EXPECT_EQ(-ECONNRESET, endpoints[1]->Read(&frame));
    EXPECT_NE(0, endpoints[1]->Write(MakeFrame(0x10, {1})));

    // A stopped hub starts again on the same path.
    StartHub();
    AttachAll(1);
}

TEST_F(HubTest, DropsRecordsThatAreNotClassicFrames) {
    StartHub();
    auto endpoints = AttachAll(2);
    // A raw link to the hub that sends a short record, then a good one.
    int raw = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    ASSERT_GE(raw, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(0, ::connect(raw, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    unsigned char shortRecord[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(8, ::send(raw, shortRecord, sizeof(shortRecord), 0));
    can_frame good = MakeFrame(0x55, {9});
    ASSERT_EQ(16, ::send(raw, &good, sizeof(good), 0));

    can_frame got{};
    ASSERT_EQ(1, endpoints[0]->WaitReadable(2000));
    ASSERT_EQ(16, endpoints[0]->Read(&got));
    EXPECT_TRUE(SameFrame(good, got));

    // A record of the right size but with a length above 8 is dropped as well.
    can_frame bad = MakeFrame(0x56, {1});
    bad.can_dlc = 9;
    ASSERT_EQ(16, ::send(raw, &bad, sizeof(bad), 0));
    can_frame after = MakeFrame(0x57, {2});
    ASSERT_EQ(16, ::send(raw, &after, sizeof(after), 0));
    ASSERT_EQ(1, endpoints[1]->WaitReadable(2000));
    ASSERT_EQ(16, endpoints[1]->Read(&got));  // the good one first
    ASSERT_EQ(1, endpoints[1]->WaitReadable(2000));
    ASSERT_EQ(16, endpoints[1]->Read(&got));
    EXPECT_TRUE(SameFrame(after, got));
    EXPECT_EQ(2u, hub.DroppedCount());
    ::close(raw);
}

// Whatever reaches an endpoint directly, a record that is no classic frame is taken off
// the socket whole and refused with EBADMSG, its bytes handed out for the dump; the next
// record reads normally.
TEST(CanSocketRead, MalformedRecordsAreRefusedAndHandedOut) {
    struct Case {
        const char* name;
        std::size_t size;
        unsigned char dlc;
    };
    const Case cases[] = {
        {"length byte 9", 16, 9},
        {"length byte 255", 16, 255},
        {"short record", 5, 1},
        {"long record", 24, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int pair[2];
        ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair));
        // The socket takes over pair[0]; the hub path is never used here.
        CanSocket socket(CanSocket::Backend::VirtualHub, "unused");
        ASSERT_EQ(0, socket.Create());
        ASSERT_EQ(socket.Fd(), ::dup2(pair[0], socket.Fd()));
        ::close(pair[0]);
        unsigned char record[32] = {};
        record[0] = 0x23;
        record[4] = c.dlc;
        record[8] = 0xAB;
        ASSERT_EQ(static_cast<ssize_t>(c.size), ::send(pair[1], record, c.size, 0));
        can_frame good = MakeFrame(0x24, {1, 2});
        ASSERT_EQ(16, ::send(pair[1], &good, sizeof(good), 0));

        can_frame got{};
        std::size_t size = 0;
        EXPECT_EQ(-EBADMSG, socket.Read(&got, &size));
        EXPECT_EQ(c.size, size);
        EXPECT_EQ(0x23u, got.can_id);
        EXPECT_EQ(c.size > 4 ? c.dlc : 0, got.can_dlc);
        EXPECT_EQ(c.size > 8 ? 0xAB : 0, got.data[0]);
        ASSERT_EQ(16, socket.Read(&got, &size));
        EXPECT_TRUE(SameFrame(good, got));
        ::close(pair[1]);
    }
}

TEST_F(HubTest, StartFailuresNameTheirCause) {
    struct Case {
        const char* name;
        std::string path;
        int error;
    };
    std::ofstream(TempPath("plain-file")) << "x";
    VirtualCanHub live;
    ASSERT_EQ(0, live.Start(TempPath("live.sock")));
    const Case cases[] = {
        {"too long", "/tmp/" + std::string(200, 'x'), ENAMETOOLONG},
        {"not a socket", TempPath("plain-file"), EEXIST},
        {"hub already there", TempPath("live.sock"), EADDRINUSE},
        {"missing folder", TempPath("no/such/folder.sock"), ENOENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualCanHub other;
        EXPECT_EQ(c.error, other.Start(c.path));
        EXPECT_FALSE(other.ErrorText().empty());
        EXPECT_FALSE(other.IsRunning());
    }
    EXPECT_EQ(EBUSY, live.Start(TempPath("again.sock")));
    EXPECT_TRUE(std::filesystem::exists(TempPath("plain-file")));
}

TEST_F(HubTest, StaleSocketFileIsReplaced) {
    {
        int stale = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
        ASSERT_EQ(0, ::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
        ::close(stale);  // leaves the file behind, as a crashed hub would
    }
    StartHub();
    AttachAll(1);
}

// The pcap file read back field by field: link type 227, identifier word big-endian.
TEST_F(HubTest, RecordsRelayedFramesAsSocketCanPcap) {
    StartHub(true);
    auto endpoints = AttachAll(2);
    const std::vector<can_frame> frames = {
        MakeFrame(0x14, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}),
        MakeFrame(0x7FF, {0xAB}),
        MakeFrame(0x1234567 | CAN_EFF_FLAG, {0xDE, 0xAD}),
    };
    for (const can_frame& f : frames) {
        ASSERT_EQ(0, endpoints[0]->Write(f));
        ASSERT_EQ(1, endpoints[1]->WaitReadable(2000));
        can_frame got{};
        ASSERT_EQ(16, endpoints[1]->Read(&got));
    }
    hub.Stop();

    std::ifstream in(pcapPath, std::ios::binary);
    std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    ASSERT_EQ(24u + frames.size() * (16u + 16u), file.size());
    auto u32 = [&](std::size_t at) {
        std::uint32_t v;
        std::memcpy(&v, &file[at], 4);
        return v;
    };
    EXPECT_EQ(0xa1b2c3d4u, u32(0));
    EXPECT_EQ(227u, u32(20));
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        std::size_t record = 24 + i * 32;
        EXPECT_EQ(16u, u32(record + 8));
        EXPECT_EQ(16u, u32(record + 12));
        std::size_t data = record + 16;
        std::uint32_t idWord = (std::uint32_t(file[data]) << 24) | (file[data + 1] << 16) |
                               (file[data + 2] << 8) | file[data + 3];
        EXPECT_EQ(frames[i].can_id, idWord);
        EXPECT_EQ(frames[i].can_dlc, file[data + 4]);
        EXPECT_EQ(0, std::memcmp(frames[i].data, &file[data + 8], frames[i].can_dlc));
    }

    // An independent decoder, where the machine has one.
    if (std::system("command -v tshark > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "tshark not installed; checked the file by hand only";
    }
    std::string command = "tshark -r '" + pcapPath +
                          "' -T fields -e can.id -e can.flags.xtd -e can.len -e data 2>/dev/null";
    std::FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(nullptr, pipe);
    std::vector<std::string> lines;
    char buffer[256];
    while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) {
        lines.emplace_back(buffer);
    }
    ASSERT_EQ(0, pclose(pipe));
    // Identifier without flags in decimal, extended flag (1 or True by version), length,
    // data bytes.
    const char* expected[][4] = {
        {"20", "0", "8", "0102030405060708"},
        {"2047", "0", "1", "ab"},
        {"19088743", "1", "2", "dead"},
    };
    ASSERT_EQ(frames.size(), lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        char id[32], extended[16], length[8], data[40];
        ASSERT_EQ(4, std::sscanf(lines[i].c_str(), "%31s %15s %7s %39s", id, extended, length,
                                 data));
        EXPECT_STREQ(expected[i][0], id);
        const bool isExtended = std::strcmp(extended, "1") == 0 || std::strcmp(extended, "True") == 0;
        EXPECT_EQ(std::strcmp(expected[i][1], "1") == 0, isExtended);
        EXPECT_STREQ(expected[i][2], length);
        EXPECT_STREQ(expected[i][3], data);
    }
}

using Clock = std::chrono::steady_clock;

// Reads records on its own thread until stopped; counts them and keeps them in order.
class ReadingEndpoint {
public:
    explicit ReadingEndpoint(std::unique_ptr<CanSocket> socketIn) : socket(std::move(socketIn)) {
        reader = std::thread([this] {
            while (!stop.load()) {
                if (socket->WaitReadable(20) != 1) continue;
                can_frame frame{};
                if (socket->Read(&frame) == 16) {
                    std::lock_guard<std::mutex> lock(mutex);
                    frames.push_back(frame);
                }
            }
        });
    }
    ~ReadingEndpoint() {
        stop.store(true);
        reader.join();
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return frames.size();
    }
    std::vector<can_frame> Frames() {
        std::lock_guard<std::mutex> lock(mutex);
        return frames;
    }

private:
    std::unique_ptr<CanSocket> socket;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::vector<can_frame> frames;
    std::thread reader;
};

can_frame Numbered(int n) {
    return MakeFrame(0x100, {static_cast<unsigned char>(n & 0xFF), static_cast<unsigned char>(n >> 8)});
}

int NumberOf(const can_frame& f) { return f.data[0] | (f.data[1] << 8); }

// Sends count numbered frames from writer in batches, each batch once reader has all before
// it (so the reader itself never falls behind). Returns the errors by errno.
std::map<int, int> SendPaced(CanSocket& writer, ReadingEndpoint& reader, int count) {
    std::map<int, int> errors;
    for (int n = 0; n < count; ++n) {
        if (n % 100 == 0 && !WaitFor([&] { return reader.Count() >= static_cast<std::size_t>(n); })) {
            ADD_FAILURE() << "the reader got " << reader.Count() << " of the first " << n << " frames";
            break;
        }
        const int rc = writer.Write(Numbered(n));
        if (rc != 0) ++errors[rc];
    }
    return errors;
}

// An endpoint that reads nothing loses frames; the writer and the other endpoints do not
// notice.
TEST_F(HubTest, AnEndpointThatDoesNotReadLosesFramesWithoutHoldingOthers) {
    StartHub();
    auto endpoints = AttachAll(3);
    ReadingEndpoint reader(std::move(endpoints[1]));
    CanSocket& sleeper = *endpoints[2];
    constexpr int kFrames = 3000;
    EXPECT_TRUE(SendPaced(*endpoints[0], reader, kFrames).empty());
    ASSERT_TRUE(WaitFor([&] { return reader.Count() == kFrames; })) << reader.Count();
    const std::vector<can_frame> got = reader.Frames();
    for (int n = 0; n < kFrames; ++n) {
        ASSERT_EQ(n, NumberOf(got[static_cast<std::size_t>(n)]));
    }
    // The sleeper holds the oldest frames up to its queue's size, none after a gap.
    int held = 0;
    can_frame frame{};
    while (sleeper.WaitReadable(0) == 1 && sleeper.Read(&frame) == 16) {
        EXPECT_EQ(held, NumberOf(frame));
        ++held;
    }
    EXPECT_GT(held, 0);
    EXPECT_LT(held, kFrames);
}

// Frames the hub cannot take are refused at once with ENOBUFS, as SocketCAN answers a full
// transmit queue; once the hub reads again, writes go through.
TEST(CanSocketWrite, AFullQueueRefusesFramesAtOnce) {
    const std::string path = TempPath("silent-hub.sock");
    TestSupport::SilentCanHub silent(path);
    CanSocket writer(CanSocket::Backend::VirtualHub, path);
    ASSERT_EQ(0, writer.Open("can0"));
    ASSERT_EQ(1, silent.AcceptWaiting());

    constexpr int kFrames = 2000;
    int written = 0;
    std::map<int, int> errors;
    Clock::duration longest{};
    const Clock::time_point start = Clock::now();
    for (int n = 0; n < kFrames; ++n) {
        const Clock::time_point before = Clock::now();
        const int rc = writer.Write(Numbered(n));
        longest = std::max(longest, Clock::now() - before);
        if (rc == 0) {
            EXPECT_EQ(0, errors[ENOBUFS]) << "a frame was taken after one was refused";
            ++written;
        } else {
            ++errors[rc];
        }
    }
    // A waiting write would take its time-out for each of the refused frames.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_LT(longest, std::chrono::milliseconds(500));
    EXPECT_GT(written, 0);
    EXPECT_EQ(kFrames - written, errors[ENOBUFS]);
    EXPECT_EQ(1u, errors.size()) << "only ENOBUFS";

    EXPECT_EQ(written, silent.Drain());
    EXPECT_EQ(0, writer.Write(Numbered(0)));
}

// The recording waits for its file on a thread of its own: a pcap file that takes nothing
// (a pipe nobody reads) neither stops the relay nor loses frames, and Stop writes them all.
TEST_F(HubTest, AStalledRecordingDoesNotHoldTheRelay) {
    // A run before (--gtest_repeat) leaves its pipe behind.
    std::filesystem::remove(pcapPath);
    ASSERT_EQ(0, ::mkfifo(pcapPath.c_str(), 0600)) << std::strerror(errno);
    const int pipeReader = ::open(pcapPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(pipeReader, 0);
    StartHub(true);
    auto endpoints = AttachAll(2);
    ReadingEndpoint reader(std::move(endpoints[1]));
    constexpr int kFrames = 6000;  // 190 kB of records: three times what the pipe holds
    EXPECT_TRUE(SendPaced(*endpoints[0], reader, kFrames).empty());
    EXPECT_TRUE(WaitFor([&] { return reader.Count() == kFrames; })) << reader.Count();

    std::size_t bytes = 0;
    std::thread drain([&] {
        unsigned char buffer[4096];
        while (true) {
            pollfd entry{pipeReader, POLLIN, 0};
            if (::poll(&entry, 1, 10000) != 1) return;
            const ssize_t n = ::read(pipeReader, buffer, sizeof(buffer));
            if (n == 0) return;  // the hub closed the file
            if (n > 0) bytes += static_cast<std::size_t>(n);
        }
    });
    hub.Stop();
    drain.join();
    ::close(pipeReader);
    std::filesystem::remove(pcapPath);
    EXPECT_EQ(0u, hub.PcapDroppedCount());
    EXPECT_EQ(24u + kFrames * 32u, bytes);
}

TEST(CanSocketTest, BackendFollowsTheEnvironment) {
    std::string path;
    ::unsetenv(Platform::kCanHubEnvironment);
    EXPECT_EQ(CanSocket::Backend::Kernel, CanSocket::BackendFromEnvironment(&path));
    EXPECT_TRUE(path.empty());
    ::setenv(Platform::kCanHubEnvironment, "", 1);
    EXPECT_EQ(CanSocket::Backend::Kernel, CanSocket::BackendFromEnvironment(&path));
    ::setenv(Platform::kCanHubEnvironment, "/tmp/some-hub.sock", 1);
    EXPECT_EQ(CanSocket::Backend::VirtualHub, CanSocket::BackendFromEnvironment(&path));
    EXPECT_EQ("/tmp/some-hub.sock", path);
    CanSocket fromEnvironment;
    EXPECT_EQ(CanSocket::Backend::VirtualHub, fromEnvironment.GetBackend());
    EXPECT_EQ("/tmp/some-hub.sock", fromEnvironment.HubPath());
    ::unsetenv(Platform::kCanHubEnvironment);
}

TEST(CanSocketTest, FailuresAreReportedNotThrown) {
    // Kernel backend on an interface that does not exist: fails at socket creation where
    // the kernel has no CAN, else at the bind.
    CanSocket kernel(CanSocket::Backend::Kernel);
    EXPECT_NE(0, kernel.Open("belvanto-none"));
    // Virtual backend without a hub.
    CanSocket virtualLink(CanSocket::Backend::VirtualHub, TempPath("nobody-here.sock"));
    EXPECT_EQ(ENOENT, virtualLink.Open("can0"));
    EXPECT_TRUE(virtualLink.IsOpen()) << "a failed bind keeps the descriptor until Close";
    virtualLink.Close();
    EXPECT_FALSE(virtualLink.IsOpen());
    can_frame frame{};
    EXPECT_EQ(EBADF, virtualLink.Write(frame));
    EXPECT_EQ(-EBADF, virtualLink.Read(&frame));
    EXPECT_EQ(-EBADF, virtualLink.WaitReadable(0));
}

}  // namespace
