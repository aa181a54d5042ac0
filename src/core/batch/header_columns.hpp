// The header fields of a batch stored column by column, each field in a column
// of its own width.
#pragma once

#include <array>
#include <cstddef>

#include "header_fields.hpp"

namespace vesk {

// One header field of `n` headers into its column. Written a column at a time,
// the rows of a run reach fresh memory as one stream per column rather than as
// scattered stores to all of them at once.
template <class Value, class Header>
void store_column(Value* column, const Header* headers, std::size_t n, Value Header::* member)
{
    for (std::size_t i = 0; i < n; ++i) {
        column[i] = headers[i].*member;
    }
}

// The header fields of a format, column by column (see header_fields.hpp).
template <class Header>
struct HeaderColumns {
    static constexpr std::size_t kCount = kFieldCount<Header>;
    static constexpr std::array<std::size_t, kCount> kWidths = [] {
        std::array<std::size_t, kCount> widths{};
        for_each_field<Header>(
            [&](std::size_t i, const auto& field) { widths[i] = sizeof(FieldValue<decltype(field)>); });
        return widths;
    }();
    // Headers `headers[0..n)` into rows `row..row + n)`, one column after the other.
    static void store(std::byte* const* columns, std::size_t row, const Header* headers, std::size_t n)
    {
        for_each_field<Header>([&](std::size_t i, const auto& field) {
            store_column(reinterpret_cast<FieldValue<decltype(field)>*>(columns[i]) + row, headers, n,
                         field.member);
        });
    }
};

}  // namespace vesk
