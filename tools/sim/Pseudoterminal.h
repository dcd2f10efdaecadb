#pragma once
// Making a pseudo-terminal and publishing its slave as a COM number: shared by the simulator,
// the tests' ports and the benchmarks. Plain POSIX and the C++ standard library.
#include <string>

namespace pty {

// A new pseudo-terminal master (read/write, not our controlling terminal, closed on exec, and
// non-blocking when asked), granted and unlocked; its slave's path goes to *slavePath.
// Returns the master's fd, or -1 with errno set.
int openMaster(bool nonBlocking, std::string *slavePath);

// Points the symlink `linkPath` at `target` in one step, replacing an old link, so that a
// reader never sees it missing. Returns 0 or an errno value.
int publishLink(const std::string &target, const std::string &linkPath);

} // namespace pty
