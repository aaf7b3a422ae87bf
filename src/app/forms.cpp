#include "forms.h"

TForm2::TForm2(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("About Corvane"));
    setFixedSize(393, 285);
}

TForm3::TForm3(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("Form3"));
    setWindowTitle(QStringLiteral("Corvane - 512x512 Image"));
    // Closing the large window never ends the program.
    setAttribute(Qt::WA_QuitOnClose, false);
    move(-18, 60);
    resize(237, 151);
}

TAboutForm::TAboutForm(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("AboutForm"));
    setWindowTitle(QStringLiteral("About "));
    setFixedSize(407, 271);
}
