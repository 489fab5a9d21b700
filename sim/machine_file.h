// Reading a machine file from disk (hosted only: POSIX calls).
#pragma once

#include <string>

namespace sim {

// Reads the whole file, also from a pipe or a device, but never more than
// kMaxMachineFileBytes. On failure returns false and sets error to one
// line without the file name: unreadable, a folder, or too large.
bool ReadMachineFile(const char *path, std::string *text, std::string *error);

}  // namespace sim
