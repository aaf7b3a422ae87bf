#include "application.h"

#include <QMessageBox>

#include <exception>

namespace corvane {

Application::Application(int& argc, char** argv) : QApplication(argc, argv) {
    setOrganizationName(QStringLiteral("Quor"));
    setApplicationName(QStringLiteral("Corvane"));
}

bool Application::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        reportError(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        reportError(QStringLiteral("An unexpected error occurred."));
    }
    return false;
}

void Application::reportError(const QString& message) {
    if (reporter_) {
        reporter_(message);
        return;
    }
    QMessageBox::critical(activeWindow(), applicationName(), message);
}

}  // namespace corvane
