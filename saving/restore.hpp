#pragma once

#include <filesystem>

#include "platform/bytes.hpp"

namespace lanemark {

// Puts the movie back as the backup beside it recorded it: the recorded
// metadata at its offset, the file cut or extended to the recorded length,
// synchronised and read back. Before writing it refuses a missing, damaged or
// foreign backup, and a movie whose atoms no longer lead to the recorded
// offset. The backup is only read; running this again is harmless.
void restoreMovie(const std::filesystem::path& movie);

class Storage;
// The same, with every write, length change and synchronisation taken through `storage`.
void restoreMovie(const std::filesystem::path& movie, Storage& storage);

// The checks of a backup's own bytes that come before the movie is looked at; throws Failure.
void checkBackup(const Bytes& encoded);

}  // namespace lanemark
