#pragma once

// Small file-system tests and operations. Delete and Move log their failures.

#include <cstdint>
#include <string>

namespace Filesystem {

bool Exists(const std::string& path);       // stat() succeeds
bool IsFile(const std::string& path);       // a regular file
bool IsDirectory(const std::string& path);  // a directory
// remove(); a failure is logged. Returns true when the file was removed.
bool Delete(const std::string& path);
// rename(), replacing an existing target; a failure is logged and gives false.
bool Move(const std::string& from, const std::string& to);
// Size in bytes, -1 when the file cannot be examined.
int64_t GetFileSize(const std::string& path);

}  // namespace Filesystem
