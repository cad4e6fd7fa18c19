#pragma once

#include <filesystem>

#include "quillcore/keychain/keychain.h"

namespace quill {

// Items kept as files: <root>/<name(service)>/<name(account)>, folders 0700, files 0600.
// Every write goes to ".<name>.tmp", is flushed to disk and renamed over the item, so a crash
// leaves either the old or the new item, never a torn one. Writers of one service folder,
// in this process or another, take an exclusive lock on the folder.
class FileKeychain final : public Keychain {
public:
    explicit FileKeychain(std::filesystem::path root);

    // $XDG_DATA_HOME/quillmate/keychain, with ~/.local/share when XDG_DATA_HOME is unset,
    // empty or relative.
    static std::filesystem::path defaultRoot();

    // Items larger than this are refused as damaged (-EFBIG) instead of being read.
    static constexpr std::size_t maxItemSize = 1 << 20;

    const std::filesystem::path& root() const { return root_; }

    std::int32_t add(const std::string& service, const std::string& account, ByteView data) override;
    std::int32_t update(const std::string& service, const std::string& account, ByteView data) override;
    KeychainResult<Bytes> copy(const std::string& service, const std::string& account) override;
    KeychainResult<std::vector<KeychainItem>> copyAll(const std::string& service, std::size_t limit) override;
    std::int32_t remove(const std::string& service, const std::optional<std::string>& account) override;

private:
    std::int32_t write(const std::string& service, const std::string& account, ByteView data, bool replace);

    std::filesystem::path root_;
};

}  // namespace quill
