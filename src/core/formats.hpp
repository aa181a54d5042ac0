// The formats vesk reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace vesk {

enum class Format : std::uint8_t { WD1, WD2 };

// Something per format, in the order of Format: PerFormat<BatchSink> holds
// the sink of one format or the other.
template <template <class> class Per>
using PerFormat = std::variant<Per<WD1Reader>, Per<WD2Reader>>;

// A decoder of either format.
using Decoder = PerFormat<std::type_identity_t>;

// The formats' names, by Format: what both modules take and give.
inline constexpr std::string_view kFormatNames[] = {"WD1", "WD2"};
static_assert(std::size(kFormatNames) == std::variant_size_v<Decoder>);

// The format of that name, compared byte for byte ("wd1" is none).
std::optional<Format> format_named(std::string_view name);

// Calls visit(format, std::type_identity<Reader>{}) for each format, in order.
template <class Visit>
void for_each_format(Visit&& visit)
{
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (visit(static_cast<Format>(I), std::type_identity<std::variant_alternative_t<I, Decoder>>{}), ...);
    }(std::make_index_sequence<std::variant_size_v<Decoder>>{});
}

}  // namespace vesk
