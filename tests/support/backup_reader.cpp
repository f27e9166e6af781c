#include "tests/support/backup_reader.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>

namespace lanemark::build {

namespace {

void expectType(plist_t value, plist_type type, const std::string& key) {
    if (plist_get_node_type(value) != type) throw std::runtime_error("unexpected type for " + key);
}

}  // namespace

BackupContents decodeBackup(const Buffer& raw) {
    if (raw.size() < 8 || std::memcmp(raw.data(), "bplist00", 8) != 0) throw std::runtime_error("not a binary plist");
    plist_t parsed = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(raw.data()), std::uint32_t(raw.size()), &parsed);
    const std::unique_ptr<void, decltype(&plist_free)> root(parsed, plist_free);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) throw std::runtime_error("not a dictionary");
    BackupContents contents;
    plist_dict_iter started = nullptr;
    plist_dict_new_iter(root.get(), &started);
    const std::unique_ptr<void, decltype(&std::free)> iter(started, std::free);
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(root.get(), iter.get(), &key, &value);
        if (!key) break;
        contents.keys.emplace_back(key);
        const std::string name = key;
        std::free(key);
        const std::map<std::string, std::uint64_t*> numbers{{"offset", &contents.offset},
                                                            {"originalSize", &contents.originalSize},
                                                            {"writtenLength", &contents.writtenLength},
                                                            {"savedSize", &contents.savedSize},
                                                            {"sectorSize", &contents.sectorSize}};
        const std::map<std::string, Buffer*> data{{"metadata", &contents.metadata},
                                                  {"metadataDigest", &contents.metadataDigest},
                                                  {"writtenDigests", &contents.writtenDigests},
                                                  {"splits", &contents.splits},
                                                  {"savedRanges", &contents.savedRanges},
                                                  {"savedDigests", &contents.savedDigests},
                                                  {"proofDigest", &contents.proofDigest}};
        if (numbers.contains(name)) {
            expectType(value, PLIST_UINT, name);
            plist_get_uint_val(value, numbers.at(name));
        }
        if (data.contains(name)) {
            expectType(value, PLIST_DATA, name);
            char* bytes = nullptr;
            std::uint64_t length = 0;
            plist_get_data_val(value, &bytes, &length);
            data.at(name)->assign(bytes, bytes + length);
            std::free(bytes);
        }
        if (name == "movieName" || name == "digest") {
            expectType(value, PLIST_STRING, name);
            char* text = nullptr;
            plist_get_string_val(value, &text);
            (name == "digest" ? contents.digest : contents.movieName) = text;
            std::free(text);
        }
    }
    return contents;
}

BackupContents readBackup(const std::filesystem::path& path) { return decodeBackup(readFile(path)); }

void restoreFromBackup(const std::filesystem::path& movie, const BackupContents& backup) {
    const int fd = ::open(movie.c_str(), O_WRONLY);
    if (fd < 0) throw std::runtime_error("cannot open " + movie.string());
    const bool ok = ::pwrite(fd, backup.metadata.data(), backup.metadata.size(), off_t(backup.offset)) ==
                        ssize_t(backup.metadata.size()) &&
                    ::ftruncate(fd, off_t(backup.originalSize)) == 0;
    ::close(fd);
    if (!ok) throw std::runtime_error("cannot restore " + movie.string());
}

}  // namespace lanemark::build
