#pragma once

// The capture layer's errors and their message texts: small enough for the library loader to
// raise them without the whole stream.

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace stemora {

// The base of every error this layer raises; it carries only its message (UTF-8).
class Exception : public std::exception {
  public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }

  private:
    std::string message_;
};

// The sound library or its entry cannot be used: "Necessary since DirectX5".
class EDirectXError : public Exception {
  public:
    using Exception::Exception;
};

// The device cannot be opened or a capture buffer cannot be made.
class ESoundCaptureStreamError : public Exception {
  public:
    using Exception::Exception;
};

// An index outside a list: "List index out of bounds (%d)".
class EListError : public Exception {
  public:
    using Exception::Exception;
};

// Message texts (format strings: %s takes a text, %d a decimal integer).
inline constexpr std::string_view kMsgNecessaryDirectX5 = "Necessary since DirectX5";
inline constexpr std::string_view kMsgCannotInitialize = "%s cannot be initialized";
inline constexpr std::string_view kMsgCannotMake = "%s cannot be made";
inline constexpr std::string_view kMsgNotLoaded = "%s not loaded";
inline constexpr std::string_view kMsgListIndex = "List index out of bounds (%d)";

// Replaces the first %s in `format` with `text`.
std::string FormatText(std::string_view format, std::string_view text);
// Replaces the first %d in `format` with `value` in decimal.
std::string FormatText(std::string_view format, std::int64_t value);

}  // namespace stemora
