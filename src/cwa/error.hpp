// The one error value of the reading code, and the internal-fault escape hatch.
#pragma once

#include <expected>
#include <stdexcept>
#include <string>
#include <utility>

namespace cwa {

class CwaError {
public:
    // Message: the recording or the request cannot be read as asked (damaged data, nothing in
    // the range, a file that is not a recording).
    // InvalidArgument: a cut or a rate that no recording could satisfy, refused before any file
    // is opened; the caller's fault rather than the data's.
    // Cancelled: the embedder asked the call to stop and holds the reason itself.
    // OutOfMemory: the call would need more memory than the machine can give it.
    enum class Kind { Message, Io, InvalidArgument, Cancelled, OutOfMemory };

    static CwaError message(std::string text) { return CwaError(Kind::Message, std::move(text)); }
    static CwaError invalid_argument(std::string text) { return CwaError(Kind::InvalidArgument, std::move(text)); }
    // An operating-system error, described the way the system describes errno.
    static CwaError io_from_errno(int code) { return io(os_error_text(code)); }
    // An I/O failure the system did not number, such as a file that ended inside a record.
    static CwaError io(std::string text) { return CwaError(Kind::Io, std::move(text)); }
    static CwaError io_short_read() { return io("failed to fill whole buffer"); }
    static CwaError cancelled() { return CwaError(Kind::Cancelled, "call cancelled"); }
    static CwaError out_of_memory(std::string text) { return CwaError(Kind::OutOfMemory, std::move(text)); }

    Kind kind() const noexcept { return kind_; }
    // The text shown to users: the message itself, or "IO error: " and the system's text.
    std::string display() const;

    // "No such file or directory (os error 2)": the system's description and its code.
    static std::string os_error_text(int code);

private:
    CwaError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
    Kind kind_;
    std::string text_;
};

template <class T>
using Result = std::expected<T, CwaError>;
using Status = std::expected<void, CwaError>;

inline std::unexpected<CwaError> fail(const char* text) {
    return std::unexpected(CwaError::message(text));
}
inline std::unexpected<CwaError> fail(CwaError error) { return std::unexpected(std::move(error)); }
inline std::unexpected<CwaError> refuse_argument(const char* text) {
    return std::unexpected(CwaError::invalid_argument(text));
}

// A broken invariant that callers guarantee; ordinary input never raises one.
class InternalFault : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

[[noreturn]] inline void internal_fault(const char* what) { throw InternalFault(what); }

}  // namespace cwa

// Propagates the error of an expression yielding a Result, else binds its value.
#define CWA_TRY(var, expr)                                                     \
    auto var##_result_ = (expr);                                               \
    if (!var##_result_) return std::unexpected(std::move(var##_result_).error()); \
    auto var = std::move(*var##_result_)

#define CWA_CHECK(expr)                                                        \
    do {                                                                       \
        auto check_result_ = (expr);                                           \
        if (!check_result_) return std::unexpected(std::move(check_result_).error()); \
    } while (0)
