#pragma once

#include <string>
#include <string_view>

namespace lanemark {

// `bytes` as UTF-8 text: the bytes themselves where they are well-formed UTF-8,
// and U+FFFD for each byte that does not decode.
std::string wellFormedUtf8(std::string_view bytes);

}  // namespace lanemark
