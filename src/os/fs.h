// File-system calls the daemon makes on its runtime directory.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "os/result.h"
#include "os/unique_fd.h"

namespace marlox::os {

// mkdir -p with mode (before the umask) for each directory it creates; existing ones are fine.
Result<void> make_dirs(const std::string& path, mode_t mode);

// Makes path a directory owned by root with exactly mode, whatever the umask: created (with any
// missing parents, as make_dirs) when missing, else an existing root-owned directory gets mode.
// Fails with ENOTDIR when path is anything but a directory (a symbolic link is not followed) and
// with EPERM when another user owns it; nothing is changed then.
Result<void> make_root_directory(const std::string& path, mode_t mode);

// An entry of a directory and the user that owns it, as lstat(2) sees it: a symbolic link's
// own owner, not its target's.
struct EntryOwner {
    std::string name;
    uid_t owner;
};

// Every entry of the directory at path but "." and "..", with its owner. The directory itself is
// opened without following a symbolic link (ENOTDIR then). An entry removed while the list is
// made is left out.
Result<std::vector<EntryOwner>> list_entry_owners(const std::string& path);

// unlink(2) once.
Result<void> remove_file(const std::string& path);

// chmod(2), retried on EINTR.
Result<void> set_mode(const std::string& path, mode_t mode);

// Creates path afresh for writing: O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC. It never opens
// an existing file and never follows a symbolic link, so nobody else can own what is written.
Result<UniqueFd> create_new_file(const std::string& path, mode_t mode);

}  // namespace marlox::os
