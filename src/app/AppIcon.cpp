#include "app/AppIcon.h"

#include <QSize>
#include <QString>

namespace stemora {

QIcon StemoraIcon() {
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/stemora/stemora-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

}  // namespace stemora
