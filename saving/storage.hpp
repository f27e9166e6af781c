#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>

#include "metadata/movie.hpp"
#include "metadata/outline.hpp"
#include "platform/file.hpp"

namespace lanemark {

// Every operation a save or a restore performs on disk, in one place, so that tests can
// make any chosen step fail, or another program step in, against real files.
struct BackupRecord;

class Storage {
public:
    virtual ~Storage() = default;

    virtual File openForUpdate(const std::filesystem::path& url);
    // The verification's fresh opening by path: the lazy one, with every check of opening.
    virtual MovieContents open(const std::filesystem::path& url);
    virtual FileIdentity writeBackup(const std::filesystem::path& movie, const BackupRecord& record);
    // Nothing where the system cannot make unnamed files.
    virtual std::optional<File> createUnnamed(const File& folder, const std::filesystem::path& destined);
    virtual void synchroniseBackup(File& backup);
    virtual void synchroniseFolder(File& folder);
    // The pieces one after another from `offset`.
    virtual void write(File& file, std::uint64_t offset, std::span<const std::span<const std::uint8_t>> pieces);
    virtual void setLength(File& file, std::uint64_t length);
    virtual void synchronise(File& file);
    virtual void close(File& file);
};

// The real file system.
Storage& systemStorage();

}  // namespace lanemark
