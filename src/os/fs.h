// File-system calls the daemon makes on its runtime directory.
#pragma once

#include <sys/types.h>

#include <string>

#include "os/result.h"
#include "os/unique_fd.h"

namespace marlox::os {

// mkdir -p with mode (before the umask) for each directory it creates; existing ones are fine.
Result<void> make_dirs(const std::string& path, mode_t mode);

// unlink(2) once.
Result<void> remove_file(const std::string& path);

// chmod(2), retried on EINTR.
Result<void> set_mode(const std::string& path, mode_t mode);

// Creates path afresh for writing: O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC. It never opens
// an existing file and never follows a symbolic link, so nobody else can own what is written.
Result<UniqueFd> create_new_file(const std::string& path, mode_t mode);

}  // namespace marlox::os
