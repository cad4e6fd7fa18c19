#pragma once

// Folders and files that only their owner may open (0700 and 0600): what a store of the user's
// own data (keys, paired devices, the activity log) is written with. Each call returns 0 or the
// errno of its failure.

#include <sys/types.h>

#include <filesystem>
#include <string>

#include "quillcore/base/bytes.h"

namespace quill::privatefiles {

inline constexpr mode_t kFolderMode = 0700;
inline constexpr mode_t kFileMode = 0600;

// mkdir -p with private folders; existing folders are left as they are.
int makeFolders(const std::filesystem::path& path);

// A folder that already existed (made by hand, or by an older version) is made private too.
int makePrivate(int folder);

// Writes `data` to a new private file `name` in `folder` (a stale file of that name goes first),
// syncs and closes it; the caller renames it into place. On failure nothing is left under `name`.
int writeSyncedFile(int folder, const std::string& name, ByteView data);

}  // namespace quill::privatefiles
