// The header fields of each format, named, in the order the file stores them.
// This one table per format drives everything that lists the fields: the batch
// columns and their widths, the dtypes and names Python sees, and the event
// dictionaries. A field's width and signedness are those of its member.
#pragma once

#include <cstddef>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace vesk {

template <class Header, class T>
struct HeaderField {
    using Value = T;
    const char* name;
    T Header::* member;
};

template <class Header, class T>
constexpr HeaderField<Header, T> field(const char* name, T Header::* member)
{
    return {.name = name, .member = member};
}

// The type of a field's values, from a field of the table.
template <class Field>
using FieldValue = typename std::remove_cvref_t<Field>::Value;

template <class Header>
struct HeaderFields;

template <>
struct HeaderFields<WD1Header> {
    static constexpr std::tuple kFields{
        field("event_size", &WD1Header::event_size),
        field("board_id", &WD1Header::board_id),
        field("pattern", &WD1Header::pattern),
        field("board_channel", &WD1Header::board_channel),
        field("event_counter", &WD1Header::event_counter),
        field("timestamp", &WD1Header::timestamp),
    };
};

template <>
struct HeaderFields<WD2Header> {
    static constexpr std::tuple kFields{
        field("event_counter", &WD2Header::event_counter),
        field("timestamp", &WD2Header::timestamp),
        field("samples", &WD2Header::samples),
        field("sampling_period", &WD2Header::sampling_period),
        field("channels", &WD2Header::channels),
    };
};

template <class Header>
inline constexpr std::size_t kFieldCount =
    std::tuple_size_v<std::remove_cv_t<decltype(HeaderFields<Header>::kFields)>>;

// Calls visit(index, field) for each field, in the table's order.
template <class Header, class Visit>
constexpr void for_each_field(Visit&& visit)
{
    std::apply(
        [&](const auto&... fields) {
            std::size_t index = 0;
            (visit(index++, fields), ...);
        },
        HeaderFields<Header>::kFields);
}

namespace detail {

// Converts to anything: counts how many values an aggregate takes.
struct AnyValue {
    template <class T>
    constexpr operator T() const;
};

template <class Aggregate, class... Values>
constexpr std::size_t member_count()
{
    if constexpr (requires { Aggregate{Values{}..., AnyValue{}}; }) {
        return member_count<Aggregate, Values..., AnyValue>();
    } else {
        return sizeof...(Values);
    }
}

// Whether the table names every member of the header once, each under a name
// of its own.
template <class Header>
constexpr bool table_is_complete()
{
    bool distinct = true;
    for_each_field<Header>([&](std::size_t i, const auto& a) {
        for_each_field<Header>([&](std::size_t j, const auto& b) {
            if (i == j) {
                return;
            }
            distinct = distinct && std::string_view(a.name) != std::string_view(b.name);
            if constexpr (std::is_same_v<decltype(a.member), decltype(b.member)>) {
                distinct = distinct && a.member != b.member;
            }
        });
    });
    return distinct && member_count<Header>() == kFieldCount<Header>;
}

}  // namespace detail

static_assert(detail::table_is_complete<WD1Header>());
static_assert(detail::table_is_complete<WD2Header>());

}  // namespace vesk
