// A folder of the fuzz process's own for the files a target hands to the code
// under test (a configuration, a registry) and the files that code writes.
// Made at the first use, in memory where the machine has a tmpfs (the
// registry syncs every file it writes, which on a disk would slow each input
// to the disk's pace), and removed with its files when the process exits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace osl::fuzz {

// The path of the file of that name in the folder.
std::string scratch_path(const char *name);

// Replaces the file of that name with the bytes; its path.
std::string scratch_write(const char *name, const uint8_t *data, size_t size);

} // namespace osl::fuzz
