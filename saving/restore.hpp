#pragma once

#include <filesystem>

#include "platform/bytes.hpp"
#include "saving/backup.hpp"

namespace lanemark {

// Puts the movie back as the backup beside it recorded it: the recorded
// metadata at its offset, the file cut to the recorded length where a save
// changed it, synchronised and read back; then removes the backup, if its
// name still leads to the file that was read. Before writing it refuses a
// missing, damaged or foreign backup, and a movie that is in no state a save,
// a rollback or a restore leaves. Cut short, it can be run again.
void restoreMovie(const std::filesystem::path& movie);

class Storage;
// The same, with every write, length change and synchronisation taken through `storage`.
void restoreMovie(const std::filesystem::path& movie, Storage& storage);

// The backup beside `movie`, once proven to describe the movie, open as
// `file`, as the last save left it (or the save before, when the last one was
// rolled back): what the next save carries on. Throws Failure with the
// sentences of a restore, and the mismatch sentence for a backup without a proof.
Carried provenBackup(const std::filesystem::path& movie, const File& file);

// Removes the backup beside `movie` when it is proven as above; throws like it otherwise.
void discardBackup(const std::filesystem::path& movie);

// The checks of a backup's own bytes that come before the movie is looked at; throws Failure.
void checkBackup(const Bytes& encoded);

}  // namespace lanemark
