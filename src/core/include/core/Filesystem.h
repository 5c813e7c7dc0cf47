#pragma once

// Small file-system tests and operations. Delete and Move log their failures.

#include <cstddef>
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
// What a write-then-rename puts beside its target until the rename.
inline constexpr char kTemporarySuffix[] = ".tmp";
// The temporary of an older project writer, still removed.
inline constexpr char kOldTemporarySuffix[] = "_tmp";
// Replaces the file at path with data so that a crash or power cut leaves either the old
// or the new content, never a mix: writes path + ".tmp" beside it, fsyncs it, renames it
// over path and fsyncs the folder. Returns false (path untouched, the temporary removed)
// when a step fails; errno tells which. Callers serialise writes of one path.
// While the file named by BELVANTO_WRITE_FAULT_FILE exists, every call fails as on a
// full disk (ENOSPC) and leaves path alone: the seam for tests of failed writes.
[[nodiscard]] bool WriteFileAtomic(const std::string& path, const char* data, size_t size);
[[nodiscard]] bool WriteFileAtomic(const std::string& path, const std::string& content);
// The environment variable of that seam.
inline constexpr char kWriteFaultEnvironment[] = "BELVANTO_WRITE_FAULT_FILE";
// write() until all of data is out, past interruptions; false with errno on a failure.
bool WriteAll(int fd, const char* data, size_t size);
// Removes what a write killed before its rename left beside path: path + ".tmp" and
// path + "_tmp", each only when it is a file or a link (a folder of that name stays).
// Logs "Removed stale temporary file '<name>'" per file; path itself is not touched.
// Call it while nothing writes path. Returns the number of files removed.
int RemoveStaleTemporaries(const std::string& path);
// fsync of the folder that holds path, so that a rename or a new file there survives a
// power cut. Best effort: a folder that cannot be opened is left alone.
void SyncFolderOf(const std::string& path);

}  // namespace Filesystem
