#include "saving/plan.hpp"

#include <algorithm>
#include <limits>

#include "platform/failure.hpp"
#include "saving/storage.hpp"

namespace lanemark {
namespace {

constexpr std::uint8_t freeType[4] = {'f', 'r', 'e', 'e'};

// The header of a 'free' atom of `size` bytes.
Bytes freeHeader(std::uint64_t size) {
    const auto length = bytes(static_cast<std::uint32_t>(size));
    return Bytes(std::vector<std::uint8_t>{length[0], length[1], length[2], length[3], 'f', 'r', 'e', 'e'});
}

// Cases 1 to 3: the new metadata over the region, and one 'free' atom over
// whatever it leaves; the file keeps its length.
SavePlan inPlace(SavePlan saving, std::uint64_t size) {
    const std::span<const std::uint8_t> old = saving.old;
    const std::size_t length = saving.fresh.size;
    Pieces pieces = saving.fresh.pieces;
    if (old.size() > length) {
        saving.freeHeader = freeHeader(old.size() - length);
        pieces.push_back(saving.freeHeader.span());
    }
    saving.plan = {{{saving.record.offset, pieces}}, size};
    // The rest of the 'free' atom keeps the old bytes: writing them again would change nothing a reader sees.
    if (old.size() > length) pieces.push_back(old.subspan(length + 8));
    saving.record.written = std::move(pieces);
    saving.record.savedSize = size;
    return saving;
}

// Case 4: the new metadata at the end, and the old one's type changed to
// 'free' only once the new one is on storage, so that the file always holds
// a complete "moov" ahead of any other. A last atom that ran to the end of the
// file gets its real size first, or it would take the new metadata in.
SavePlan relocated(SavePlan saving, const Movie& movie) {
    const std::span<const std::uint8_t> old = saving.old;
    const std::uint64_t offset = saving.record.offset, size = movie.size();
    saving.plan = {{{size, saving.fresh.pieces, true}, {offset + 4, {freeType}}}, size + saving.fresh.size};
    saving.record.written = {old.first(4), freeType, old.subspan(8)};
    if (movie.openEnd() && old.size() > movie.metadata().size()) {
        const std::uint64_t last = *movie.openEnd();
        const auto closed = bytes(static_cast<std::uint32_t>(size - last));
        saving.closedSize = Bytes(std::vector<std::uint8_t>(closed.begin(), closed.end()));
        saving.plan.patches.insert(saving.plan.patches.begin(), {last, {saving.closedSize.span()}});
        const auto at = static_cast<std::size_t>(last - offset);
        saving.record.written = {old.first(4), freeType, old.subspan(8, at - 8), saving.closedSize.span(),
                                 old.subspan(at + 4)};
    }
    saving.record.appended = saving.fresh.pieces;
    saving.record.appendedAt = size;
    saving.record.savedSize = saving.plan.length;
    return saving;
}

// Whether new metadata of `newLength` bytes goes over `room` bytes: exactly, or leaving room for a 'free' atom.
bool fits(std::uint64_t room, std::uint64_t newLength) { return newLength == room || newLength + 8 <= room; }

std::uint64_t roomInPlace(const Movie& movie, std::uint64_t newLength) {
    const std::uint64_t length = movie.metadata().size();
    return length + spaceTaken(movie.spaceAfter(), length, newLength);
}

}  // namespace

Plan restoring(std::uint64_t offset, std::span<const std::uint8_t> old, std::uint64_t length) {
    return {{{offset, {old}}}, length};
}

void carryOut(const Plan& plan, std::uint64_t length, File& file, Storage& storage, Progress& progress,
              const std::function<void(std::uint64_t)>& expect) {
    std::uint64_t reach = length;
    for (const auto& patch : plan.patches) reach = std::max(reach, patch.offset + lengthOf(patch.pieces));
    if (expect) expect(length);
    progress = {reach, true};
    std::uint64_t written = length;
    for (const auto& patch : plan.patches) {
        storage.write(file, patch.offset, patch.pieces);
        written = std::max(written, patch.offset + lengthOf(patch.pieces));
        if (expect) expect(written);
        if (patch.synchronised) storage.synchronise(file);
    }
    // Where the writes end at or past the planned end there is nothing to cut, and
    // bytes another program appends meanwhile are not cut off either.
    if (plan.length != reach) {
        storage.setLength(file, plan.length);
        progress.end = plan.length;
    }
    storage.synchronise(file);
}

void carryOn(SavePlan& saving, const Carried& carried) {
    BackupRecord& record = saving.record;
    const std::uint64_t at = record.writtenAt, regionEnd = carried.offset + carried.metadata.size();
    const std::uint64_t end =
        std::min(carried.originalSize, at + std::max<std::uint64_t>(saving.old.size(), lengthOf(record.written)));
    record.offset = carried.offset;
    record.originalSize = carried.originalSize;
    record.metadata = carried.metadata.span();
    record.carried = &carried;
    if (at >= carried.originalSize || end <= regionEnd) {
        if (at < carried.originalSize && at < carried.offset) fail(notContiguous);
        return;
    }
    if (at < carried.offset || at > regionEnd || end - at > saving.old.size()) fail(notContiguous);
    std::vector<std::uint8_t> grown(carried.metadata.begin(), carried.metadata.end());
    grown.insert(grown.end(), saving.old.begin() + (regionEnd - at), saving.old.begin() + (end - at));
    saving.original = Bytes(std::move(grown));
    record.metadata = saving.original.span();
}

std::uint64_t spaceTaken(const std::vector<std::uint64_t>& spaceAfter, std::uint64_t oldLength,
                         std::uint64_t newLength) {
    if (newLength <= oldLength) return 0;
    std::uint64_t region = oldLength;
    for (const std::uint64_t size : spaceAfter) {
        region += size;
        // The backup holds the whole region, and a backup is never larger than metadata may be.
        if (region >= metadataLimit) return 0;
        if (region == newLength || region >= newLength + 8) return region - oldLength;
    }
    return 0;
}

std::uint64_t regionLength(const Movie& movie, std::uint64_t newLength) {
    if (movie.trailing()) return movie.metadata().size();
    const std::uint64_t room = roomInPlace(movie, newLength);
    if (fits(room, newLength) || !movie.openEnd()) return room;
    const std::uint64_t last = *movie.openEnd();
    if (movie.size() - last > std::numeric_limits<std::uint32_t>::max()) fail(openEndTooLarge);
    // The backup holds the whole region, and a backup is never larger than metadata may be.
    const std::uint64_t region = last + 8 - movie.offset();
    if (region >= metadataLimit) fail(notOneTrailingBlock);
    return region;
}

SavePlan planSave(const Movie& movie, EncodedPieces fresh, Bytes region) {
    SavePlan saving;
    saving.record.offset = saving.record.writtenAt = movie.offset();
    saving.record.originalSize = movie.size();
    saving.old = std::move(region);
    saving.record.metadata = saving.record.before = saving.old.span();
    saving.fresh = std::move(fresh);
    const std::uint64_t newLength = saving.fresh.size;
    if (movie.trailing()) {
        // The file ends where the new metadata does.
        saving.plan = {{{movie.offset(), saving.fresh.pieces}}, movie.offset() + newLength};
        saving.record.written = saving.fresh.pieces;
        saving.record.savedSize = saving.plan.length;
        return saving;
    }
    if (fits(roomInPlace(movie, newLength), newLength)) return inPlace(std::move(saving), movie.size());
    return relocated(std::move(saving), movie);
}

}  // namespace lanemark
