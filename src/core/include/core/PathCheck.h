#pragma once

// Check for every file name that arrives from outside (network, project file, program
// file): Filesystem::IsSafeRelativePath(name) after "\" -> "/" rejects absolute paths,
// drive-letter paths, ".." components, empty names and embedded zero bytes.

#include <string>

namespace Filesystem {

// Copy with every "\" turned into "/".
std::string NormalizeSeparators(const std::string& path);
// True when the name, separators normalised, stays below the folder it is appended to.
bool IsSafeRelativePath(const std::string& path);

}  // namespace Filesystem
