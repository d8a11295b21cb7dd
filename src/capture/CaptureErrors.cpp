#include "capture/CaptureErrors.h"

namespace stemora {

namespace {

std::string replaceFirst(std::string_view format, std::string_view placeholder,
                         std::string_view text) {
    std::string out(format);
    const auto at = out.find(placeholder);
    if (at != std::string::npos) {
        out.replace(at, placeholder.size(), text);
    }
    return out;
}

}  // namespace

std::string FormatText(std::string_view format, std::string_view text) {
    return replaceFirst(format, "%s", text);
}

std::string FormatText(std::string_view format, std::int64_t value) {
    return replaceFirst(format, "%d", std::to_string(value));
}

}  // namespace stemora
