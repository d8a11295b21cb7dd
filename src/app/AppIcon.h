#pragma once
// The application's icon for windows: every PNG size rendered from resources/icons/stemora.svg,
// compiled into stemora_app, so the desktop can pick the closest size without scaling.

#include <QIcon>

namespace stemora {

QIcon StemoraIcon();

}  // namespace stemora
