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

DecoderOrFailure open_decoder(BufferedFile& file, Format format, const WD2Opening& wd2)
{
    if (format == Format::WD1) {
        return Decoder(std::in_place_type<WD1Reader>, std::move(file));
    }
    std::variant<WD2Layout, IoError, ProbeOverflow> decided = ProbeOverflow{};
    if (wd2.layout == LayoutRequest::Probe) {
        decided = WD2Reader::probe_layout(file, wd2.how, wd2.probing, wd2.finite_stream);
    } else {
        IoResult<WD2Layout> given =
            WD2Reader::given_layout(file, wd2.layout == LayoutRequest::MultiChannel, wd2.how);
        if (!given.ok()) {
            return given.error();
        }
        decided = given.value();
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
