// The application object: an error escaping a command is shown in the
// standard error box and the event loop goes on.
#pragma once

#include <QApplication>

#include <functional>

namespace corvane {

class Application : public QApplication {
public:
    Application(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Shows an error to the user; tests replace it to see what was reported.
    using ErrorReporter = std::function<void(const QString& message)>;
    void setErrorReporter(ErrorReporter reporter) { reporter_ = std::move(reporter); }
    void reportError(const QString& message);

private:
    ErrorReporter reporter_;
};

}  // namespace corvane
