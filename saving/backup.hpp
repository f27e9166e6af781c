#pragma once

#include <filesystem>
#include <string>

#include "metadata/movie.hpp"
#include "saving/property_list.hpp"

namespace lanemark {

inline constexpr const char* backupExists =
    "A metadata backup already exists beside this movie. Keep it safe and move it elsewhere before making another "
    "edit.";

// NAME.lanemark-backup in the movie's own folder.
std::filesystem::path backupLocation(const std::filesystem::path& movie);

// The movie's file name as the backup records it: its bytes when they are
// UTF-8, otherwise with each byte that does not decode replaced by U+FFFD.
std::string movieName(const std::filesystem::path& movie);

// The backup's binary property list; its data piece is `metadata` itself.
PropertyList backupRecord(std::uint64_t offset, std::uint64_t originalSize, std::span<const std::uint8_t> metadata,
                          const std::string& movieName);

// Publishes the metadata as opened, where it sat and how long the file was,
// as a binary property list beside the movie, on storage before this returns.
// Refuses when anything already exists at the backup path.
void writeBackup(const Movie& movie);

}  // namespace lanemark
