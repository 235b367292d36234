// Directory creation, removal, modes and exclusive file creation.
#include "os/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace marlox::os {

Result<void> make_dirs(const std::string& path, mode_t mode) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), mode) < 0 && errno != EEXIST) return last_errno();
        if (slash == std::string::npos) return {};
    }
}

Result<void> make_root_directory(const std::string& path, mode_t mode) {
    // The umask can only narrow what mkdir makes; fchmod below sets the exact mode.
    if (auto made = make_dirs(path, mode); !made) return made.error();
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno == ELOOP ? Errno{ENOTDIR} : last_errno();
    const UniqueFd dir(fd);
    struct stat st {};
    if (::fstat(dir.get(), &st) < 0) return last_errno();
    // Whoever owns it could change its mode back at any time.
    if (st.st_uid != 0) return Errno{EPERM};
    while (::fchmod(dir.get(), mode) < 0) {
        if (errno != EINTR) return last_errno();
    }
    return {};
}

Result<std::vector<EntryOwner>> list_entry_owners(const std::string& path) {
    const int opened = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (opened < 0) return errno == ELOOP ? Errno{ENOTDIR} : last_errno();
    UniqueFd fd(opened);
    DIR* dir = ::fdopendir(fd.get());
    if (dir == nullptr) return last_errno();
    (void)fd.release();  // closedir closes it
    std::vector<EntryOwner> entries;
    for (;;) {
        errno = 0;
        // The stream is this call's own, and glibc's readdir shares no buffer between streams.
        const dirent* entry = ::readdir(dir);  // NOLINT(concurrency-mt-unsafe)
        if (entry == nullptr) break;
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) < 0) {
            if (errno == ENOENT) continue;
            break;
        }
        entries.push_back({std::string(name), st.st_uid});
    }
    const Errno error{errno};
    ::closedir(dir);
    if (error.code != 0) return error;
    return entries;
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
