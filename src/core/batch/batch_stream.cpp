#include "batch_stream.hpp"

namespace vesk {

namespace {

// Bytes a WD2 source needs before its layout can be told: one header with the
// channel field.
constexpr std::uint64_t kWD2ProbeBytes = WD2Reader::kHeaderBytesWithChannels;

// Bytes a source has shown so far: a regular file's size, what a stream gave.
std::uint64_t bytes_held(BufferedFile& file)
{
    return file.seekable() ? file.source().size().value_or(0) : file.read_end();
}

}  // namespace

BatchStream::BatchStream(BufferedFile file, const StreamSettings& settings, std::shared_ptr<BlockPool> pool,
                         bool* in_background)
    : settings_(settings), in_background_(in_background), unopened_(std::move(file)), pool_(std::move(pool))
{
}

BatchStream::~BatchStream()
{
    drop_read_ahead();
    pool_->close();  // batches still held free their blocks when dropped
}

std::optional<OpenFailure> BatchStream::open()
{
    if (!unopened_) {
        return std::nullopt;
    }
    BufferedFile& file = *unopened_;
    DecoderOrFailure opened = open_decoder(file, settings_.format,
                                           {.layout = settings_.layout,
                                            .probing = Probing::ChainOfEvents,
                                            .how = WD2Reader::Return::Restore,
                                            .finite_stream = settings_.finite_stream});
    if (auto* decoder = std::get_if<Decoder>(&opened)) {
        std::visit(
            [&](auto& made) {
                using Reader = std::remove_reference_t<decltype(made)>;
                decoding_.emplace(std::in_place_type<Decoding<Reader>>,
                                  Decoding<Reader>{.decoder = std::move(made)});
            },
            *decoder);
        if (const auto* wd2 = std::get_if<Decoding<WD2Reader>>(&*decoding_)) {
            layout_ = std::pair(wd2->decoder.has_channel_field(), wd2->decoder.channel_count());
        }
        opened_.store(true, std::memory_order_release);
        unopened_.reset();
        return std::nullopt;
    }
    if (std::holds_alternative<ProbeOverflow>(opened)) {
        return OpenFailure{};
    }
    const IoError error = std::get<IoError>(opened);
    if (error.is_eof() && (settings_.follow || bytes_held(file) < kWD2ProbeBytes)) {
        (void)file.restore();  // back at the first byte for the next try
        trailing_bytes_ = bytes_held(file);
        return std::nullopt;
    }
    return OpenFailure{.error = error};
}

FillEnd BatchStream::failed_put_back(const IoError& error) const
{
    FillEnd failed;
    failed.outcome = Outcome::Error;
    failed.first_index = failed.stop_index = events_read_;
    failed.error = error;
    return failed;
}

SkippedEvents BatchStream::skip(const FillLimits& limits)
{
    SkippedEvents out;
    wait_for_read_ahead([] { return false; });
    if (decoding_) {
        std::visit(
            [&](auto& decoding) {
                using Reader = std::remove_reference_t<decltype(decoding.decoder)>;
                if (IoStatus status = put_back_read_ahead(decoding); !status.ok()) {
                    out.end = failed_put_back(status.error());
                    return;
                }
                before_last_.reset();
                CountingSink<Reader> sink{decoding.progress.watch};
                out.end = fill(decoding.decoder, sink, decoding.progress, limits);
                record_progress(decoding);
                out.events = sink.count;
            },
            *decoding_);
    }
    if (out.events == 0 && out.end.outcome == Outcome::End) {
        out.end.first_index = out.end.stop_index = events_read_;
    }
    return out;
}

bool BatchStream::put_back_last()
{
    if (!decoding_ || !before_last_) {
        return false;
    }
    drop_read_ahead();
    const bool put_back = std::visit(
        [&](auto& decoding) {
            using Reader = std::remove_reference_t<decltype(decoding.decoder)>;
            auto& before = std::get<Mark<Reader>>(*before_last_);
            if (!decoding.decoder.rewind(before.cursor).ok()) {
                return false;
            }
            decoding.progress = std::move(before.progress);
            record_progress(decoding);
            return true;
        },
        *decoding_);
    before_last_.reset();
    return put_back;
}

void BatchStream::drop_read_ahead()
{
    worker_.stop();
    ahead_.reset();
    set_background(false);
}

void BatchStream::close()
{
    drop_read_ahead();
    pool_->close();
    before_last_.reset();
    decoding_.reset();
    unopened_.reset();
    closed_ = true;
}

}  // namespace vesk
