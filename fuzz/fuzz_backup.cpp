// Feeds arbitrary bytes to restore's checks of a backup and to the reader of
// backups, which must refuse them or accept them without reading outside
// them; what it accepts must encode and read back as the same dictionary.

#include <cstdlib>

#include "platform/failure.hpp"
#include "saving/property_list.hpp"
#include "saving/restore.hpp"

using namespace lanemark;

static PropertyValue viewOf(const DecodedValue& value) {
    if (const auto* number = std::get_if<std::uint64_t>(&value)) return *number;
    if (const auto* text = std::get_if<std::string>(&value)) return std::string_view(*text);
    return std::get<Bytes>(value).span();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes input(std::vector<std::uint8_t>(data, data + size));
    try {
        checkBackup(input);
    } catch (const Failure&) {
    }
    const auto decoded = decodeDictionary(input);
    if (!decoded) return 0;
    std::vector<PropertyEntry> entries;
    for (const auto& [key, value] : *decoded) entries.push_back({key, viewOf(value)});
    const PropertyList encoded = encodeDictionary(entries);
    std::vector<std::uint8_t> bytes;
    for (const auto piece : encoded.pieces()) bytes.insert(bytes.end(), piece.begin(), piece.end());
    if (decodeDictionary(Bytes(std::move(bytes))) != decoded) std::abort();
    return 0;
}
