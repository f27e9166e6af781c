#include "tests/support/layouts.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace lanemark::build {
namespace {

std::uint32_t read32(const Buffer& data, std::size_t at) {
    if (at + 4 > data.size()) throw std::runtime_error("metadata ends inside a field");
    return std::uint32_t(data[at]) << 24 | std::uint32_t(data[at + 1]) << 16 | std::uint32_t(data[at + 2]) << 8 |
           data[at + 3];
}

std::string typeAt(const Buffer& data, std::size_t at) {
    if (at + 4 > data.size()) throw std::runtime_error("metadata ends inside a type");
    return std::string(reinterpret_cast<const char*>(data.data() + at), 4);
}

Buffer slice(const Buffer& data, std::size_t begin, std::size_t end) {
    return Buffer(data.begin() + std::ptrdiff_t(begin), data.begin() + std::ptrdiff_t(end));
}

// The sound description's version field sits 8 bytes into its payload.
unsigned versionOf(const Buffer& data, std::size_t payload) { return unsigned(read32(data, payload + 8) >> 16); }

// Payload bytes ahead of the child atoms, for the atoms the walk opens.
std::optional<std::size_t> childOffset(std::string_view type, const Buffer& data, std::size_t payload,
                                       std::string_view entry) {
    if (type == "moov" || type == "trak" || type == "mdia" || type == "minf" || type == "stbl") return 0;
    if (type == "stsd") return 8;
    if (type != entry) return std::nullopt;
    switch (versionOf(data, payload)) {
        case 0:
            return 28;
        case 1:
            return 44;
        case 2:
            return 64;
        default:
            throw std::runtime_error("unknown sound description version");
    }
}

class Walk {
public:
    explicit Walk(const std::vector<Buffer>& bodies, std::string_view entry = "lpcm")
        : bodies_(bodies), entry_(entry) {}

    // The atoms in data[begin, end), rebuilt.
    Buffer level(const Buffer& data, std::size_t begin, std::size_t end) {
        Buffer out;
        while (begin < end) {
            if (end - begin < 8) throw std::runtime_error("metadata ends inside an atom header");
            const std::uint32_t size = read32(data, begin);
            if (size < 8 || size > end - begin) throw std::runtime_error("atom size out of range");
            const Buffer rebuilt = one(data, begin, begin + size);
            out.insert(out.end(), rebuilt.begin(), rebuilt.end());
            begin += size;
        }
        return out;
    }

    std::size_t added() const { return added_; }
    const std::vector<PcmDescription>& seen() const { return seen_; }

private:
    Buffer one(const Buffer& data, std::size_t begin, std::size_t end) {
        const std::string type = typeAt(data, begin + 4);
        const std::size_t payload = begin + 8;
        const auto offset = childOffset(type, data, payload, entry_);
        if (!offset) return slice(data, begin, end);
        if (payload + *offset > end) throw std::runtime_error(type + " is shorter than its fixed fields");

        std::size_t index = seen_.size();
        if (type == entry_) {
            PcmDescription description;
            description.version = versionOf(data, payload);
            description.channels =
                description.version == 2 ? read32(data, payload + 40) : read32(data, payload + 16) >> 16;
            seen_.push_back(description);
        }
        Buffer content = slice(data, payload, payload + *offset);
        const Buffer children = level(data, payload + *offset, end);
        content.insert(content.end(), children.begin(), children.end());
        if (type == entry_) {
            for (std::size_t at = 0; at < children.size(); at += read32(children, at))
                if (typeAt(children, at + 4) == "chan")
                    seen_[index].chanBodies.push_back(slice(children, at + 8, at + read32(children, at)));
            if (seen_[index].chanBodies.empty() && !bodies_.empty()) {
                const Buffer extra = chan(nextBody());
                content.insert(content.end(), extra.begin(), extra.end());
                ++added_;
            }
        }
        return atom(type, content);
    }

    const Buffer& nextBody() const {
        if (bodies_.size() == 1) return bodies_.front();
        if (added_ >= bodies_.size()) throw std::runtime_error("more lpcm descriptions than chan bodies");
        return bodies_[added_];
    }

    std::vector<Buffer> bodies_;
    std::string entry_;
    std::size_t added_ = 0;
    std::vector<PcmDescription> seen_;
};

void checkMoov(const Buffer& metadata) {
    if (metadata.size() < 8 || typeAt(metadata, 4) != "moov" || read32(metadata, 0) != metadata.size())
        throw std::runtime_error("not one whole moov atom");
}

struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
};

}  // namespace

std::vector<PcmDescription> pcmDescriptions(const Buffer& metadata) {
    checkMoov(metadata);
    Walk walk({});
    walk.level(metadata, 0, metadata.size());
    return walk.seen();
}

static std::pair<Buffer, std::size_t> rebuild(const Buffer& metadata, const std::vector<Buffer>& bodies,
                                              std::string_view entry = "lpcm") {
    checkMoov(metadata);
    if (bodies.empty()) throw std::runtime_error("no chan body given");
    Walk walk(bodies, entry);
    Buffer out = walk.level(metadata, 0, metadata.size());
    if (bodies.size() > 1 && walk.added() != bodies.size())
        throw std::runtime_error(std::to_string(bodies.size()) + " chan bodies given for " +
                                 std::to_string(walk.added()) + " descriptions without one");
    return {std::move(out), walk.added()};
}

Buffer withChannelLayouts(const Buffer& metadata, const std::vector<Buffer>& bodies, std::string_view entry) {
    return rebuild(metadata, bodies, entry).first;
}

static TrailingMoov readTrailingMoov(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) throw std::runtime_error("cannot stat the movie");
    const std::uint64_t length = std::uint64_t(info.st_size);

    // Top-level headers only, so a movie of any size is walked in a few reads.
    std::uint64_t at = 0, last = 0;
    std::string lastType;
    while (at + 8 <= length) {
        std::uint8_t header[16];
        const ssize_t got = ::pread(fd, header, sizeof header, off_t(at));
        if (got < 8) throw std::runtime_error("cannot read an atom header");
        std::uint64_t size =
            std::uint64_t(header[0]) << 24 | std::uint64_t(header[1]) << 16 | std::uint64_t(header[2]) << 8 | header[3];
        if (size == 1) {
            if (got < 16) throw std::runtime_error("cannot read an extended atom header");
            size = 0;
            for (int i = 8; i < 16; ++i) size = size << 8 | header[i];
        } else if (size == 0) {
            size = length - at;
        }
        if (size < 8 || size > length - at) throw std::runtime_error("top-level atom size out of range");
        last = at;
        lastType.assign(reinterpret_cast<const char*>(header) + 4, 4);
        at += size;
    }
    if (at != length || lastType != "moov") throw std::runtime_error("the moov is not the last atom");

    TrailingMoov found{last, Buffer(length - last)};
    if (::pread(fd, found.metadata.data(), found.metadata.size(), off_t(last)) != ssize_t(found.metadata.size()))
        throw std::runtime_error("cannot read the moov");
    return found;
}

TrailingMoov readTrailingMoov(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + path.string());
    const Closer closer{fd};
    return readTrailingMoov(fd);
}

std::size_t addChannelLayouts(const std::filesystem::path& path, const std::vector<Buffer>& bodies) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + path.string());
    const Closer closer{fd};
    const TrailingMoov trailing = readTrailingMoov(fd);
    const auto [metadata, added] = rebuild(trailing.metadata, bodies);
    if (::pwrite(fd, metadata.data(), metadata.size(), off_t(trailing.offset)) != ssize_t(metadata.size()) ||
        ::ftruncate(fd, off_t(trailing.offset + metadata.size())) != 0)
        throw std::runtime_error("cannot write the moov back to " + path.string());
    return added;
}

}  // namespace lanemark::build
