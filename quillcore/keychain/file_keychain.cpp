#include "quillcore/keychain/file_keychain.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "quillcore/base/private_files.h"

namespace quill {

namespace {

using privatefiles::kFolderMode;

std::int32_t errnoStatus(int error) { return -static_cast<std::int32_t>(error); }

// A name too long for the file system cannot belong to a stored item: looking it up finds nothing.
bool noSuchName(int error) { return error == ENOENT || error == ENAMETOOLONG; }

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

bool isTempName(std::string_view name) {
    return name.size() > 5 && name.front() == '.' && name.substr(name.size() - 4) == ".tmp";
}

std::string tempName(const std::string& itemName) { return "." + itemName + ".tmp"; }

std::int32_t makePrivate(int folder) { return errnoStatus(privatefiles::makePrivate(folder)); }

// Opens the service folder below the root. Without `create`, a missing root or folder is
// itemNotFound. Returns a status and, on success, the folder.
std::int32_t openServiceFolder(const std::filesystem::path& root, const std::string& service, bool create,
                               Fd& out) {
    if (create) {
        if (int e = privatefiles::makeFolders(root)) return errnoStatus(e);
    }
    Fd rootFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!rootFd.valid()) return errno == ENOENT ? KeychainStatus::itemNotFound : errnoStatus(errno);
    if (create) {
        if (auto status = makePrivate(rootFd.get())) return status;
    }
    std::string name = keychainItemName(service);
    if (create && ::mkdirat(rootFd.get(), name.c_str(), kFolderMode) != 0 && errno != EEXIST)
        return errnoStatus(errno);
    Fd fd(::openat(rootFd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) return noSuchName(errno) ? KeychainStatus::itemNotFound : errnoStatus(errno);
    if (create) {
        if (auto status = makePrivate(fd.get())) return status;
    }
    out = std::move(fd);
    return KeychainStatus::success;
}

// Holds flock(LOCK_EX) on a folder for its lifetime; the lock is shared with other processes.
std::int32_t lockFolder(const Fd& folder) {
    while (::flock(folder.get(), LOCK_EX) != 0) {
        if (errno != EINTR) return errnoStatus(errno);
    }
    return KeychainStatus::success;
}

std::int32_t readItem(int folder, const std::string& name, Bytes& out) {
    // O_NONBLOCK so that a FIFO planted under an item's name cannot stall us; regular files
    // ignore it.
    Fd fd(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) return noSuchName(errno) ? KeychainStatus::itemNotFound : errnoStatus(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return errnoStatus(errno);
    if (S_ISDIR(st.st_mode)) return errnoStatus(EISDIR);
    if (!S_ISREG(st.st_mode)) return errnoStatus(EINVAL);
    if (static_cast<std::uint64_t>(st.st_size) > FileKeychain::maxItemSize) return errnoStatus(EFBIG);
    Bytes data;
    data.resize(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t have = 0;
    for (;;) {
        if (have == data.size()) {
            // The file grew while we read it; still bounded by the limit.
            if (data.size() > FileKeychain::maxItemSize) return errnoStatus(EFBIG);
            data.resize(std::min(data.size() * 2, FileKeychain::maxItemSize + 1));
        }
        ssize_t n = ::read(fd.get(), data.data() + have, data.size() - have);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errnoStatus(errno);
        }
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
    }
    data.resize(have);
    out = std::move(data);
    return KeychainStatus::success;
}

bool itemExists(int folder, const std::string& name, std::int32_t& status) {
    struct stat st {};
    if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return true;
    status = noSuchName(errno) ? KeychainStatus::itemNotFound : errnoStatus(errno);
    return false;
}

// The item names in a service folder, sorted; stale temp files of interrupted writes are
// removed on the way. The caller holds the folder lock.
std::int32_t listItemNames(int folder, std::vector<std::string>& names) {
    int dupFd = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    if (dupFd < 0) return errnoStatus(errno);
    DIR* dir = ::fdopendir(dupFd);
    if (!dir) {
        int e = errno;
        ::close(dupFd);
        return errnoStatus(e);
    }
    ::rewinddir(dir);
    std::vector<std::string> stale;
    errno = 0;
    while (dirent* entry = ::readdir(dir)) {
        std::string_view name(entry->d_name);
        if (isTempName(name)) {
            stale.emplace_back(name);
        } else if (keychainTextForName(name)) {
            // Only regular files are items; anything else under an item name is ignored.
            struct stat st {};
            if (::fstatat(folder, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
                names.emplace_back(name);
        }
        errno = 0;
    }
    int readError = errno;
    ::closedir(dir);
    if (readError != 0) return errnoStatus(readError);
    for (const auto& name : stale) ::unlinkat(folder, name.c_str(), 0);
    std::sort(names.begin(), names.end());
    return KeychainStatus::success;
}

// Moves the finished temp file to the item's name: over an existing item when replacing,
// never over one when adding.
std::int32_t publish(int folder, const std::string& temp, const std::string& name, bool replace) {
    if (replace) {
        if (::renameat(folder, temp.c_str(), folder, name.c_str()) != 0) return errnoStatus(errno);
        return KeychainStatus::success;
    }
    if (::renameat2(folder, temp.c_str(), folder, name.c_str(), RENAME_NOREPLACE) == 0)
        return KeychainStatus::success;
    if (errno == EEXIST) return KeychainStatus::duplicateItem;
    if (errno != EINVAL && errno != ENOSYS) return errnoStatus(errno);
    // A file system without RENAME_NOREPLACE: a hard link fails the same way on an existing name.
    if (::linkat(folder, temp.c_str(), folder, name.c_str(), 0) != 0)
        return errno == EEXIST ? KeychainStatus::duplicateItem : errnoStatus(errno);
    ::unlinkat(folder, temp.c_str(), 0);
    return KeychainStatus::success;
}

}  // namespace

FileKeychain::FileKeychain(std::filesystem::path root) : root_(std::move(root)) {}

std::filesystem::path FileKeychain::defaultRoot() {
    std::filesystem::path base;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && *xdg && std::filesystem::path(xdg).is_absolute()) {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        std::string homeText = home && *home ? home : "";
        if (homeText.empty()) {
            if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) homeText = pw->pw_dir;
        }
        base = std::filesystem::path(homeText) / ".local" / "share";
    }
    return base / "quillmate" / "keychain";
}

std::int32_t FileKeychain::write(const std::string& service, const std::string& account, ByteView data,
                                 bool replace) {
    Fd folder;
    if (auto status = openServiceFolder(root_, service, true, folder)) return status;
    if (auto status = lockFolder(folder)) return status;

    const std::string name = keychainItemName(account);
    std::int32_t missing = KeychainStatus::success;
    bool exists = itemExists(folder.get(), name, missing);
    if (!exists && missing != KeychainStatus::itemNotFound) return missing;
    if (replace && !exists) return KeychainStatus::itemNotFound;
    if (!replace && exists) return KeychainStatus::duplicateItem;

    const std::string temp = tempName(name);
    std::int32_t status = errnoStatus(privatefiles::writeSyncedFile(folder.get(), temp, data));
    if (!status) status = publish(folder.get(), temp, name, replace);
    if (status) {
        ::unlinkat(folder.get(), temp.c_str(), 0);
        return status;
    }
    // The rename is durable only once the folder itself is on disk.
    if (::fsync(folder.get()) != 0) return errnoStatus(errno);
    return KeychainStatus::success;
}

std::int32_t FileKeychain::add(const std::string& service, const std::string& account, ByteView data) {
    return write(service, account, data, false);
}

std::int32_t FileKeychain::update(const std::string& service, const std::string& account, ByteView data) {
    return write(service, account, data, true);
}

KeychainResult<Bytes> FileKeychain::copy(const std::string& service, const std::string& account) {
    Fd folder;
    if (auto status = openServiceFolder(root_, service, false, folder)) return {status, std::nullopt};
    // No lock: renames are atomic, so a reader sees the old or the new item.
    Bytes data;
    if (auto status = readItem(folder.get(), keychainItemName(account), data)) return {status, std::nullopt};
    return {KeychainStatus::success, std::move(data)};
}

KeychainResult<std::vector<KeychainItem>> FileKeychain::copyAll(const std::string& service, std::size_t limit) {
    Fd folder;
    if (auto status = openServiceFolder(root_, service, false, folder)) return {status, std::nullopt};
    if (auto status = lockFolder(folder)) return {status, std::nullopt};
    std::vector<std::string> names;
    if (auto status = listItemNames(folder.get(), names)) return {status, std::nullopt};
    std::vector<KeychainItem> items;
    for (const auto& name : names) {
        if (items.size() >= limit) break;
        Bytes data;
        auto status = readItem(folder.get(), name, data);
        if (status == KeychainStatus::itemNotFound) continue;
        if (status) return {status, std::nullopt};
        items.push_back({*keychainTextForName(name), std::move(data)});
    }
    if (items.empty()) return {KeychainStatus::itemNotFound, std::nullopt};
    return {KeychainStatus::success, std::move(items)};
}

std::int32_t FileKeychain::remove(const std::string& service, const std::optional<std::string>& account) {
    Fd folder;
    if (auto status = openServiceFolder(root_, service, false, folder)) return status;
    if (auto status = lockFolder(folder)) return status;
    std::vector<std::string> names;
    if (account) {
        names.push_back(keychainItemName(*account));
    } else if (auto status = listItemNames(folder.get(), names)) {
        return status;
    }
    bool removed = false;
    for (const auto& name : names) {
        if (::unlinkat(folder.get(), name.c_str(), 0) == 0) {
            removed = true;
        } else if (!noSuchName(errno)) {
            return errnoStatus(errno);
        }
    }
    if (!removed) return KeychainStatus::itemNotFound;
    if (::fsync(folder.get()) != 0) return errnoStatus(errno);
    return KeychainStatus::success;
}

}  // namespace quill
