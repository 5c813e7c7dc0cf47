#include "remote/ClientLog.h"
#include "remote/ComServerUpload.h"

#include "core/Filesystem.h"
#include "core/LogSingleton.h"
#include "core/PathCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

// Written in chunks of this size: one system call per line would cost a 5,000-line upload
// 5,000 writes.
constexpr std::size_t kChunk = 64 * 1024;
// Server-message texts are cut here, as the clients' message lines are.
constexpr std::size_t kMaxMessage = 1023;

std::string SystemError(int code) { return std::strerror(code); }

}  // namespace

namespace Remote {

ComServerUpload::ComServerUpload(std::string dataRoot, MessageSink messageSink)
    : root(std::move(dataRoot)), sink(std::move(messageSink)) {}

ComServerUpload::~ComServerUpload() { Abandon(); }

void ComServerUpload::Abandon() {
    if (IsOpen()) Discard("connection closed", false);
}

void ComServerUpload::Message(const std::string& text) const {
    const std::string cut = text.size() > kMaxMessage ? text.substr(0, kMaxMessage) : text;
    ClientLines::addText("upload message", cut);
    if (sink) {
        sink(cut);
    } else {
        LogSingleton::instance()->ServerSetMessage(cut);
    }
}

void ComServerUpload::Init(const std::string& newName, bool countValid, int announcedLines) {
    LogSingleton* log = LogSingleton::instance();
    if (IsOpen()) Discard(failed ? failReason : std::string("interrupted by a new upload"), true);
    announced = 0;
    received = 0;
    bytes = 0;
    buffer.clear();
    failReason.clear();
    name = newName;
    announced = countValid ? announcedLines : 0;
    ClientLines::add("");
    ClientLines::addFormat("HVP-Server: Starting file upload: %.600s, %d", name.c_str(), announced);

    target = (root.empty() ? log->get_rootPath() : root) + "Data/" + name;
    if (name.find("..") != std::string::npos) {
        Message("HVP-Server: Invalid path: " + target + ", must not be relative!");
        return;
    }
    // Absolute names, empty components ("a//b"), a folder as the target, over-long names
    // and embedded zero bytes never reach the file system.
    if (name.size() > kMaxNameLength || !Filesystem::IsSafeRelativePath(name) ||
        name.find("//") != std::string::npos || name.back() == '/') {
        Message("HVP-Server: Invalid path: " + target);
        return;
    }
    if (!countValid || announcedLines < 0) {
        Message("HVP-Server: Upload of " + name + " failed: line count missing");
        return;
    }
    if (!MakeFolders(target)) return;

    partPath = target + ".part";
    // A stale part file (or a link planted under its name) is replaced, never followed.
    if (::unlink(partPath.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR) {
        Message("HVP-Server: Upload of " + name + " failed: " + SystemError(errno));
        return;
    }
    fd = ::open(partPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        Message("HVP-Server: Upload of " + name + " failed: " + SystemError(errno));
        return;
    }
    // Mode 0644 whatever the process umask says.
    ::fchmod(fd, 0644);
    struct stat info {};
    partDevice = 0;
    partInode = 0;
    if (::fstat(fd, &info) == 0) {
        partDevice = info.st_dev;
        partInode = info.st_ino;
    }
    ClientLines::addFormat("   Full path: %.900s", target.c_str());
}

bool ComServerUpload::MakeFolders(const std::string& fullPath) {
    for (std::size_t p = fullPath.find('/', 1); p != std::string::npos; p = fullPath.find('/', p + 1)) {
        const std::string prefix = fullPath.substr(0, p);
        struct stat info {};
        if (::stat(prefix.c_str(), &info) == 0) {
            if (!S_ISDIR(info.st_mode)) {
                Message("HVP-Server: Could not create path '" + prefix + "': exists but is no directory");
                return false;
            }
            continue;
        }
        if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
            Message("HVP-Server: Could not create path '" + prefix + "'");
            return false;
        }
        // 0755 whatever the process umask says.
        ::chmod(prefix.c_str(), 0755);
    }
    return true;
}

void ComServerUpload::Line(std::string_view text) {
    if (!IsOpen() || failed) return;
    ClientLines::addFormat("   File upload line %d: %.*s", received,
                           static_cast<int>(text.size() > 900 ? 900 : text.size()), text.data());
    if (bytes + text.size() + 1 > kMaxBytes) {
        Fail("larger than " + std::to_string(kMaxBytes) + " bytes");
        return;
    }
    buffer.append(text.data(), text.size());
    buffer.push_back('\n');
    bytes += text.size() + 1;
    ++received;
    if (buffer.size() >= kChunk && !FlushBuffer()) {
        Fail(SystemError(errno));
    }
}

bool ComServerUpload::FlushBuffer() {
    if (buffer.empty()) return true;
    const bool ok = Filesystem::WriteAll(fd, buffer.data(), buffer.size());
    buffer.clear();
    return ok;
}

// Stops taking lines: the part file goes at once, the clients hear of it at Finish.
void ComServerUpload::Fail(const std::string& reason) {
    failed = true;
    failReason = reason;
    buffer.clear();
    buffer.shrink_to_fit();
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
        if (OwnsPartFile()) ::unlink(partPath.c_str());
    }
}

// Another upload of the same name (a client that became active meanwhile) replaces the
// part file: this one then neither removes nor renames what the other is writing.
bool ComServerUpload::OwnsPartFile() const {
    struct stat info {};
    return ::lstat(partPath.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_dev == partDevice &&
           info.st_ino == partInode;
}

void ComServerUpload::Discard(const std::string& reason, bool tellClients) {
    const std::string text = "HVP-Server: Upload of " + name + " failed: " + reason;
    Fail(reason);
    failed = false;
    failReason.clear();
    if (tellClients) {
        Message(text);
    } else {
        ClientLines::addText("upload failure", text);
    }
}

void ComServerUpload::Finish() {
    if (!IsOpen()) return;
    std::string reason;
    if (failed) {
        reason = failReason;
    } else if (received != announced) {
        reason = std::to_string(received) + " of " + std::to_string(announced) + " lines received";
    } else if (!FlushBuffer() || ::fsync(fd) != 0) {
        reason = SystemError(errno);
    } else {
        const int closed = ::close(fd);
        fd = -1;
        if (closed != 0) {
            reason = SystemError(errno);
            if (OwnsPartFile()) ::unlink(partPath.c_str());
        } else if (!OwnsPartFile()) {
            reason = "replaced by another upload of the same name";
        } else if (::rename(partPath.c_str(), target.c_str()) != 0) {
            reason = SystemError(errno);
            ::unlink(partPath.c_str());
        }
    }
    if (!reason.empty()) {
        Discard(reason, true);
        return;
    }
    Filesystem::SyncFolderOf(target);
    const std::string text = name + " uploaded, " + std::to_string(announced) + " lines";
    LogSingleton* log = LogSingleton::instance();
    ClientLines::addText("upload finished", text);
    ClientLines::add("");
    if (sink) {
        sink(text);
    } else {
        log->DisplayAndServerSetMessage(text);
    }
    buffer.shrink_to_fit();
}

}  // namespace Remote
