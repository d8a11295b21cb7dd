#pragma once
// The application's error box: what escapes an event or timer handler is shown to the user in a
// message box titled with the application title, and the program goes on.

#include <QString>
#include <exception>

namespace stemora {

inline constexpr const char* kApplicationTitle = "Stemora";

// Shows `message` in a modal error box titled "Stemora". While one box is up, further errors
// are not stacked on top of it (a handler failing on every tick would otherwise open box after
// box); they are written to standard error instead. Window thread. Never throws.
void ShowErrorBox(const QString& message) noexcept;

// The message of the exception in flight (call inside a catch block).
QString CurrentExceptionMessage() noexcept;

}  // namespace stemora
