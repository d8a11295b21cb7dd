#include "app/ErrorBox.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>

namespace stemora {

void ShowErrorBox(const QString& message) noexcept {
    static bool showing = false;
    try {
        if (showing || QApplication::instance() == nullptr) {
            std::fprintf(stderr, "%s: %s\n", kApplicationTitle, message.toLocal8Bit().constData());
            return;
        }
        showing = true;
        QMessageBox box(QMessageBox::Critical, QString::fromUtf8(kApplicationTitle), message,
                        QMessageBox::Ok, QApplication::activeWindow());
        box.setObjectName(QStringLiteral("ErrorBox"));
        box.exec();
        showing = false;
    } catch (...) {
        showing = false;
        std::fprintf(stderr, "%s: an error could not be shown\n", kApplicationTitle);
    }
}

QString CurrentExceptionMessage() noexcept {
    try {
        throw;
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

}  // namespace stemora
