#pragma once

// Decodes a backup file independently of the code that writes it.

#include <plist/plist.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/builder.hpp"

namespace lanemark::build {

struct BackupContents {
    std::vector<std::string> keys;
    std::uint64_t offset = 0;
    std::uint64_t originalSize = 0;
    Buffer metadata;
    std::string movieName;
    std::string digest;
    Buffer metadataDigest, writtenDigests, splits, savedRanges, savedDigests, proofDigest;
    std::uint64_t writtenLength = 0, savedSize = 0, sectorSize = 0;
};

// Throws when the bytes are no binary property list or a known key holds another type.
BackupContents decodeBackup(const Buffer& raw);
BackupContents readBackup(const std::filesystem::path& path);

// Puts a movie back by hand: the metadata at its offset, then the old length.
void restoreFromBackup(const std::filesystem::path& movie, const BackupContents& backup);

}  // namespace lanemark::build
