#pragma once

// A mosquitto broker for the cloud tests: a CA and a server certificate made by openssl,
// a password file made by mosquitto_passwd, TLS on 127.0.0.1 at a port chosen at run time,
// no anonymous clients, no persistence. Subscribers are mosquitto_sub processes whose
// message lines read "MSG <unix time> <topic> <qos> <retained> <payload>".

#include "../control/app_process_support.h"
#include "testsupport/LoopbackSocket.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace CloudTest {

namespace fs = std::filesystem;

inline std::string FindProgram(const std::string& name) {
    for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/usr/local/sbin/", "/usr/local/bin/", "/sbin/", "/bin/"}) {
        const std::string path = std::string(dir) + name;
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return "";
}

// Why the broker tests cannot run here, or "" when they can.
inline std::string MissingBrokerTools() {
    for (const char* tool : {"mosquitto", "mosquitto_passwd", "mosquitto_sub", "openssl"}) {
        if (FindProgram(tool).empty()) return std::string(tool) + " is not installed";
    }
    return "";
}

using TestSupport::FreePort;

inline bool Accepts(int port) {
    const int fd = TestSupport::ConnectLoopback(port, 0, false);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

inline std::string CurrentUser() {
    const passwd* entry = getpwuid(geteuid());
    return entry != nullptr ? entry->pw_name : "root";
}

// The broker process. It dies with the test process even when that one is killed or aborts
// (a sanitizer's halt), so no broker outlives its test.
class BrokerProcess {
public:
    BrokerProcess(const std::vector<std::string>& argv, const std::string& workingDir, const std::string& output)
        : outPath(output) {
        std::vector<std::string> args = argv;
        std::vector<char*> argp;
        for (auto& a : args) argp.push_back(&a[0]);
        argp.push_back(nullptr);
        const pid_t parent = getpid();
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(127);
            const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int in = open("/dev/null", O_RDONLY);
            if (out < 0 || in < 0 || chdir(workingDir.c_str()) != 0) _exit(127);
            dup2(in, 0);
            dup2(out, 1);
            dup2(out, 2);
            execv(argp[0], argp.data());
            _exit(127);
        }
    }
    ~BrokerProcess() {
        if (pid > 0 && !exited) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    BrokerProcess(const BrokerProcess&) = delete;
    BrokerProcess& operator=(const BrokerProcess&) = delete;

    bool HasExited() {
        if (pid <= 0 || exited) return true;
        exited = waitpid(pid, nullptr, WNOHANG) == pid;
        return exited;
    }
    std::string Output() const { return AppTest::ReadFile(outPath); }

private:
    std::string outPath;
    pid_t pid = -1;
    bool exited = false;
};

// One received message.
struct Message {
    double time = 0.0;  // unix seconds
    std::string topic;
    int qos = -1;
    int retained = -1;
    std::string payload;
};

class TestBroker {
public:
    struct Options {
        std::string subjectAltName = "IP:127.0.0.1,DNS:localhost";
        std::string tlsVersion;  // e.g. "tlsv1.3"; empty: mosquitto's default
    };

    TestBroker() : TestBroker(Options{}) {}
    explicit TestBroker(Options o) : options(std::move(o)) {
        char pattern[] = "/tmp/belvanto_broker_XXXXXX";
        const char* made = mkdtemp(pattern);
        dir = made != nullptr ? made : "/tmp";
    }
    ~TestBroker() {
        process.reset();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // Certificates, password file and configuration, then the broker; false (with the reason
    // in error) when a step fails.
    bool Start() {
        if (!Run(Openssl() + " req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key"
                             " -out ca.pem -days 2 -subj '/CN=Belvanto Test CA'") ||
            !Run(Openssl() + " req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout server.key"
                             " -out server.csr -subj '/CN=test broker'") ||
            !Write("server.ext", "subjectAltName=" + options.subjectAltName + "\n") ||
            !Run(Openssl() + " x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem"
                             " -days 2 -extfile server.ext") ||
            !Run(FindProgram("mosquitto_passwd") + " -b -c passwd " + user + " " + password)) {
            return false;
        }
        port = FreePort();
        return Launch();
    }

    // Kills the broker at once (no clean close of the clients' connections).
    void Kill() { process.reset(); }
    // The broker again on the same port.
    bool Restart() {
        process.reset();
        return Launch();
    }

    std::string Uri() const { return "ssl://127.0.0.1:" + std::to_string(port); }
    std::string CaFile() const { return dir + "/ca.pem"; }
    std::string Log() const { return process ? process->Output() : AppTest::ReadFile(dir + "/broker.txt"); }

    // mosquitto_sub on the topic filters; waits until it has subscribed.
    std::unique_ptr<AppTest::ChildProcess> Subscribe(const std::vector<std::string>& filters,
                                                     const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv;
        // Line-buffered, so the subscription and every message show at once.
        const std::string stdbuf = FindProgram("stdbuf");
        if (!stdbuf.empty()) argv = {stdbuf, "-oL"};
        const std::vector<std::string> sub = {FindProgram("mosquitto_sub"), "-h", "127.0.0.1", "-p", std::to_string(port),
                                         "--cafile", CaFile(), "-u", user, "-P", password, "-q", "1", "-d",
                                         "-F", "MSG %U %t %q %r %p"};
        // Ends by itself should the test not end it.
        const std::vector<std::string> limit = {"-W", "300"};
        argv.insert(argv.end(), sub.begin(), sub.end());
        for (const std::string& f : filters) {
            argv.push_back("-t");
            argv.push_back(f);
        }
        bool timed = false;
        for (const std::string& e : extra) {
            argv.push_back(e);
            timed = timed || e == "-W";
        }
        if (!timed) argv.insert(argv.end(), limit.begin(), limit.end());
        auto child = std::make_unique<AppTest::ChildProcess>();
        child->Start(argv, {}, dir, dir + "/sub" + std::to_string(++subscribers) + ".txt");
        child->WaitForOutput([](const std::string& o) { return o.find("SUBACK") != std::string::npos; }, 30000);
        return child;
    }

    static std::vector<Message> Messages(const AppTest::ChildProcess& sub) {
        std::vector<Message> out;
        std::istringstream in(sub.Output());
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("MSG ", 0) != 0) continue;
            std::istringstream fields(line.substr(4));
            Message m;
            fields >> m.time >> m.topic >> m.qos >> m.retained;
            std::getline(fields, m.payload);
            if (!m.payload.empty() && m.payload[0] == ' ') m.payload.erase(0, 1);
            out.push_back(m);
        }
        return out;
    }

    const std::string user = "robot";
    const std::string password = "s3cret-pass";
    std::string dir;
    int port = -1;
    std::string error;

private:
    static std::string Openssl() { return FindProgram("openssl"); }

    bool Run(const std::string& command) {
        const std::string full = "cd '" + dir + "' && " + command + " >>'" + dir + "/tools.txt' 2>&1";
        if (std::system(full.c_str()) == 0) return true;
        error = command + ": " + AppTest::ReadFile(dir + "/tools.txt");
        return false;
    }

    bool Write(const std::string& name, const std::string& text) {
        std::ofstream(dir + "/" + name) << text;
        return true;
    }

    bool Launch() {
        std::string config = "listener " + std::to_string(port) + " 127.0.0.1\n" + "cafile " + dir + "/ca.pem\n" +
                             "certfile " + dir + "/server.pem\n" + "keyfile " + dir + "/server.key\n";
        if (!options.tlsVersion.empty()) config += "tls_version " + options.tlsVersion + "\n";
        config += "allow_anonymous false\npassword_file " + dir + "/passwd\npersistence false\n" +
                  // As root, mosquitto would become "mosquitto" and could not read the 0600 key.
                  "user " + CurrentUser() + "\nlog_dest stdout\nlog_type all\n";
        Write("mosquitto.conf", config);
        std::vector<std::string> argv = {FindProgram("mosquitto"), "-c", dir + "/mosquitto.conf"};
        if (!FindProgram("stdbuf").empty()) argv.insert(argv.begin(), {FindProgram("stdbuf"), "-oL"});
        process = std::make_unique<BrokerProcess>(argv, dir, dir + "/broker.txt");
        if (!AppTest::WaitUntil([&] { return Accepts(port) || process->HasExited(); }, 30000) ||
            process->HasExited()) {
            error = "mosquitto did not start: " + process->Output();
            return false;
        }
        return true;
    }

    Options options;
    std::unique_ptr<BrokerProcess> process;
    int subscribers = 0;
};

}  // namespace CloudTest
