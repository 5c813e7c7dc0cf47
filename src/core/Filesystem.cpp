#include "core/Filesystem.h"

#include "core/LogSingleton.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The test seam of WriteFileAtomic: a write fails while the named file exists.
bool WriteFaultInjected() {
    const char* flag = std::getenv(Filesystem::kWriteFaultEnvironment);
    if (flag == nullptr || *flag == '\0') return false;
    struct stat info {};
    return ::stat(flag, &info) == 0;
}

}  // namespace

namespace Filesystem {

bool Exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

bool IsFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool IsDirectory(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool Delete(const std::string& path) {
    if (std::remove(path.c_str()) != 0) {
        const int err = errno;
        LogSingleton::instance()->addFormat("Could not delete file '%s': %s", path.c_str(),
                                            std::strerror(err));
        return false;
    }
    return true;
}

bool Move(const std::string& from, const std::string& to) {
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        const int err = errno;
        LogSingleton::instance()->addFormat("Could not move file '%s' to '%s': %s", from.c_str(),
                                            to.c_str(), std::strerror(err));
        return false;
    }
    return true;
}

int64_t GetFileSize(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return -1;
    return static_cast<int64_t>(info.st_size);
}

bool WriteFileAtomic(const std::string& path, const char* data, size_t size) {
    if (WriteFaultInjected()) {
        errno = ENOSPC;
        return false;
    }
    const std::string tmpPath = path + kTemporarySuffix;
    const int fd = ::open(tmpPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, data, size) && ::fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok || std::rename(tmpPath.c_str(), path.c_str()) != 0) {
        if (ok) err = errno;
        ::unlink(tmpPath.c_str());
        errno = err;
        return false;
    }
    // The rename itself must reach the disk too.
    SyncFolderOf(path);
    return true;
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A write that takes nothing would loop for ever.
            if (n == 0) errno = EIO;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int RemoveStaleTemporaries(const std::string& path) {
    int removed = 0;
    for (const char* suffix : {kTemporarySuffix, kOldTemporarySuffix}) {
        const std::string stale = path + suffix;
        struct stat info {};
        if (::lstat(stale.c_str(), &info) != 0) continue;
        if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) continue;
        if (Delete(stale)) {
            LogSingleton::instance()->addFormat("Removed stale temporary file '%s'", stale.c_str());
            ++removed;
        }
    }
    return removed;
}

void SyncFolderOf(const std::string& path) {
    const int dirFd = ::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

bool WriteFileAtomic(const std::string& path, const std::string& content) {
    return WriteFileAtomic(path, content.data(), content.size());
}

}  // namespace Filesystem
