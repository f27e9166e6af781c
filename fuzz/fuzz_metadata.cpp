// Feeds arbitrary bytes through everything that opening does with metadata:
// parse, validate, collect labels, and the exact re-encoding of what parsed.

#include <cstdlib>

#include "metadata/failure.hpp"
#include "metadata/movie.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lanemark;
    const Bytes input(std::vector<std::uint8_t>(data, data + size));
    std::vector<Atom> atoms;
    try {
        atoms = parse(input);
    } catch (const Failure&) {
        return 0;
    }
    if (!(encode(atoms) == std::span<const std::uint8_t>(data, size))) std::abort();
    try {
        Movie::validate(atoms);
        collectLabels(atoms);
    } catch (const Failure&) {
    }
    return 0;
}
