// File-system calls the daemon makes on its runtime directory.
#pragma once

#include <sys/types.h>

#include <string>

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

// unlink(2) once.
Result<void> remove_file(const std::string& path);

// chmod(2), retried on EINTR.
Result<void> set_mode(const std::string& path, mode_t mode);

// Creates path afresh for writing: O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC. It never opens
// an existing file and never follows a symbolic link, so nobody else can own what is written.
Result<UniqueFd> create_new_file(const std::string& path, mode_t mode);

}  // namespace marlox::os
