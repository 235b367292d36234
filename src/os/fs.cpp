// Directory creation, removal, modes and exclusive file creation.
#include "os/fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace marlox::os {

Result<void> make_dirs(const std::string& path, mode_t mode) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), mode) < 0 && errno != EEXIST) return last_errno();
        if (slash == std::string::npos) return {};
    }
}

Result<void> remove_file(const std::string& path) {
    if (::unlink(path.c_str()) < 0) return last_errno();
    return {};
}

Result<void> set_mode(const std::string& path, mode_t mode) {
    for (;;) {
        if (::chmod(path.c_str(), mode) == 0) return {};
        if (errno != EINTR) return last_errno();
    }
}

Result<UniqueFd> create_new_file(const std::string& path, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return last_errno();
    return UniqueFd(fd);
}

}  // namespace marlox::os
