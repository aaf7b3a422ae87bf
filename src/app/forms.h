// The secondary windows.  Each is created hidden at start-up and lives until
// the program ends; their contents arrive with the commands that use them.
#pragma once

#include <QDialog>
#include <QWidget>

// The text window: what Corvane reads and writes, shown by "About".
class TForm2 : public QDialog {
    Q_OBJECT
public:
    explicit TForm2(QWidget* parent = nullptr);
};

// The large window, showing the 512x512 level.
class TForm3 : public QWidget {
    Q_OBJECT
public:
    explicit TForm3(QWidget* parent = nullptr);
};

// The about box with the program's and the library's versions.
class TAboutForm : public QDialog {
    Q_OBJECT
public:
    explicit TAboutForm(QWidget* parent = nullptr);
};
