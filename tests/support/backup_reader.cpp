#include "tests/support/backup_reader.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace lanemark::build {

BackupContents readBackup(const std::filesystem::path& path) {
    const Buffer raw = readFile(path);
    if (raw.size() < 8 || std::memcmp(raw.data(), "bplist00", 8) != 0) throw std::runtime_error("not a binary plist");
    plist_t root = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(raw.data()), std::uint32_t(raw.size()), &root);
    if (!root || plist_get_node_type(root) != PLIST_DICT) throw std::runtime_error("not a dictionary");
    BackupContents contents;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(root, &iter);
    for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(root, iter, &key, &value);
        if (!key) break;
        contents.keys.emplace_back(key);
        const std::string name = key;
        std::free(key);
        if (name == "offset" && plist_get_node_type(value) == PLIST_UINT) plist_get_uint_val(value, &contents.offset);
        if (name == "originalSize" && plist_get_node_type(value) == PLIST_UINT)
            plist_get_uint_val(value, &contents.originalSize);
        if (name == "metadata" && plist_get_node_type(value) == PLIST_DATA) {
            char* data = nullptr;
            std::uint64_t length = 0;
            plist_get_data_val(value, &data, &length);
            contents.metadata.assign(data, data + length);
            std::free(data);
        }
        if (name == "movieName" && plist_get_node_type(value) == PLIST_STRING) {
            char* text = nullptr;
            plist_get_string_val(value, &text);
            contents.movieName = text;
            std::free(text);
        }
    }
    std::free(iter);
    plist_free(root);
    return contents;
}

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
