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

Opened open_decoder(BufferedFile& file, Format format, LayoutRequest layout, WD2Reader::Return how)
{
    if (format == Format::WD1) {
        return Decoder(std::in_place_type<WD1Reader>, std::move(file));
    }
    std::variant<WD2Layout, IoError, ProbeOverflow> decided = ProbeOverflow{};
    if (layout == LayoutRequest::Probe) {
        decided = WD2Reader::probe_layout(file, how);
    } else {
        auto given = WD2Reader::given_layout(file, layout == LayoutRequest::MultiChannel, how);
        if (auto* below = std::get_if<ChannelFieldBelowOne>(&given)) {
            return *below;
        }
        if (auto* error = std::get_if<IoError>(&given)) {
            return *error;
        }
        decided = std::get<WD2Layout>(given);
    }
    if (auto* error = std::get_if<IoError>(&decided)) {
        return *error;
    }
    if (std::holds_alternative<ProbeOverflow>(decided)) {
        return ProbeOverflow{};
    }
    return Decoder(std::in_place_type<WD2Reader>, std::move(file), std::get<WD2Layout>(decided));
}

}  // namespace vesk
