#include "core/Filesystem.h"

#include "core/LogSingleton.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

}  // namespace Filesystem
