#include "quillcore/base/private_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quill::privatefiles {

int makeFolders(const std::filesystem::path& path) {
    std::filesystem::path partial;
    for (const auto& part : path) {
        partial /= part;
        if (part.empty() || part == "/") continue;
        if (::mkdir(partial.c_str(), kFolderMode) != 0 && errno != EEXIST) return errno;
    }
    return 0;
}

int makePrivate(int folder) {
    struct stat st {};
    if (::fstat(folder, &st) != 0) return errno;
    if ((st.st_mode & 07777) != kFolderMode && ::fchmod(folder, kFolderMode) != 0) return errno;
    return 0;
}

int writeSyncedFile(int folder, const std::string& name, ByteView data) {
    ::unlinkat(folder, name.c_str(), 0);
    const int fd = ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    if (fd < 0) return errno;
    // Exactly 0600, whatever the umask.
    int error = ::fchmod(fd, kFileMode) != 0 ? errno : 0;
    for (std::size_t done = 0; !error && done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n >= 0)
            done += static_cast<std::size_t>(n);
        else if (errno != EINTR)
            error = errno;
    }
    if (!error && ::fsync(fd) != 0) error = errno;
    // A write error can surface only at close.
    if (::close(fd) != 0 && !error) error = errno;
    if (error) ::unlinkat(folder, name.c_str(), 0);
    return error;
}

}  // namespace quill::privatefiles
