#include "formats.hpp"

namespace vesk {

std::optional<Format> format_named(std::string_view name)
{
    for (std::size_t i = 0; i < std::size(kFormatNames); ++i) {
        if (name == kFormatNames[i]) {
            return static_cast<Format>(i);
        }
    }
    return std::nullopt;
}

}  // namespace vesk
