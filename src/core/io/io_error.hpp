// Input errors as values: the byte source and the decoders never throw and
// never raise; the module layers turn these into exceptions.
#pragma once

#include <cassert>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace vesk {

// The most a stream is read ahead of what has been decoded (to decide a WD2
// file's layout).
inline constexpr std::uint64_t kMaxReadAhead = std::uint64_t{256} << 20;

class IoError {
public:
    enum class Kind : std::uint8_t {
        UnexpectedEof,   // the file ended before an exact read had its bytes
        Os,              // a system call failed; os_errno() tells how
        InvalidInput,    // a path holding a NUL byte
        Interrupted,     // a signal arrived and its handler asked to stop (see IoHooks)
        StreamTooLarge,  // a stream's first events are too large to keep while probing them
        SourceFailed     // a source of the module layer's failed; that layer keeps the details
    };

    static constexpr IoError unexpected_eof() { return IoError(Kind::UnexpectedEof); }
    static constexpr IoError os(int errnum) { return IoError(Kind::Os, errnum); }
    static constexpr IoError nul_in_path() { return IoError(Kind::InvalidInput); }
    static constexpr IoError interrupted() { return IoError(Kind::Interrupted); }
    static constexpr IoError source_failed() { return IoError(Kind::SourceFailed); }
    static constexpr IoError stream_too_large(std::uint64_t bytes)
    {
        return IoError(Kind::StreamTooLarge, 0, bytes);
    }

    constexpr Kind kind() const { return kind_; }
    constexpr bool is_eof() const { return kind_ == Kind::UnexpectedEof; }
    constexpr bool is_interrupted() const { return kind_ == Kind::Interrupted; }
    // A non-blocking source with no bytes ready yet: a later read may have them.
    constexpr bool would_block() const
    {
        return kind_ == Kind::Os && (errno_ == EAGAIN || errno_ == EWOULDBLOCK);
    }
    // The operating-system error number; 0 unless kind() is Os.
    constexpr int os_errno() const { return errno_; }

    // "failed to fill whole buffer", "<strerror> (os error N)", or the text of the other kinds.
    std::string display() const;

private:
    constexpr explicit IoError(Kind kind, int errnum = 0, std::uint64_t bytes = 0)
        : kind_(kind), errno_(errnum), bytes_(bytes)
    {
    }
    Kind kind_;
    int errno_;
    std::uint64_t bytes_;
};

// A value or the IoError that prevented it.
template <class T>
class [[nodiscard]] IoResult {
public:
    IoResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    IoResult(IoError error) : state_(std::in_place_index<1>, error) {}

    bool ok() const { return state_.index() == 0; }
    T& value()
    {
        assert(ok());
        return *std::get_if<0>(&state_);
    }
    const IoError& error() const
    {
        assert(!ok());
        return *std::get_if<1>(&state_);
    }

private:
    std::variant<T, IoError> state_;
};

// Success, or the IoError that prevented it.
class [[nodiscard]] IoStatus {
public:
    IoStatus() = default;
    IoStatus(IoError error) : error_(error) {}

    bool ok() const { return !error_; }
    const IoError& error() const
    {
        assert(error_);
        return *error_;
    }

private:
    std::optional<IoError> error_;
};

inline IoStatus io_ok()
{
    return IoStatus();
}

}  // namespace vesk
