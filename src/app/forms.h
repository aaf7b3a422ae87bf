// The secondary windows.  Each is created hidden at start-up and lives until
// the program ends: the text window, the about box and the large window.
#pragma once

#include "mainwindow.h"

#include <QDialog>
#include <QPixmap>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;
class QTabWidget;
class QUrl;
class TAboutForm;

namespace corvane {

class TAnyImage;
class TExeButton;
class TMButton;

// A file's product version as a version record holds it: major and minor in
// the most significant word, patch and build in the least significant one.
struct ProductVersion {
    uint32_t mostSignificant = 0;
    uint32_t leastSignificant = 0;
};

// "major.minor.patch.build", missing trailing parts read as 0; nothing when
// the text is not such a version.
std::optional<ProductVersion> parseVersion(const QString& dotted);

// The major number, ".00." in place of the minor one, then the whole least
// significant word: 4.0.0.29 gives "4.00.29", 1.2.3.4 gives "1.00.196612".
QString versionText(const ProductVersion& version);

// The version text of a library file by its base name ("quorimg"), read
// through the routine it exports for it ("quorimg_version").  The file is
// looked for in `firstFolder`, then in the system's search order.  Empty when
// there is no such file or routine.
QString libraryVersion(const QString& baseName, const QString& firstFolder);

// The picture formats the library reads, one "Description (EXT)" each.
QStringList supportedPictureFormats(const PictureFormatTable& formats = libraryPictureFormats());

// The text window's text.
QString aboutText(const QStringList& pictureFormats);

// The program's icon and logo, drawn at the size asked for.
QPixmap programPicture(int size);

// Asks the desktop to open an address; replaceable in tests.
using UrlOpener = std::function<bool(const QUrl& url)>;

}  // namespace corvane

// The text window: what Corvane reads, shown by "About".
class TForm2 : public QDialog {
    Q_OBJECT
public:
    explicit TForm2(QWidget* parent = nullptr, const QStringList& pictureFormats = corvane::supportedPictureFormats());

    // "More >>>" shows this box.
    void setAboutForm(TAboutForm* form) { aboutForm_ = form; }

    QPlainTextEdit* Memo1 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* More = nullptr;

public slots:
    void Button1Click();
    void MoreClick();

private:
    TAboutForm* aboutForm_ = nullptr;
};

// The large window, showing the 512x512 level.  It keeps its own place in
// the main window's kept geometry whenever it is hidden or closed.
class TForm3 : public QWidget {
    Q_OBJECT
public:
    explicit TForm3(QWidget* parent = nullptr);

    corvane::TAnyImage* AnyImage1 = nullptr;

    void keepGeometryIn(corvane::LargeWindowGeometry* kept) { kept_ = kept; }
    void applyGeometry(const corvane::LargeWindowGeometry& geometry);
    corvane::LargeWindowGeometry currentGeometry() const;

signals:
    // The view was double-clicked: edit the level with this index (0, 512).
    void editRequested(int levelIndex);

public slots:
    void AnyImage1DblClick();

protected:
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void keepGeometry();

    QScrollArea* scroller_ = nullptr;
    corvane::LargeWindowGeometry* kept_ = nullptr;
};

// The about box: the program's version, the makers, the library files'
// versions and the copyright terms.
class TAboutForm : public QDialog {
    Q_OBJECT
public:
    explicit TAboutForm(QWidget* parent = nullptr);

    // The library files the DLLs page lists, by base name.
    static const std::array<const char*, 5> kLibraries;

    // Where the library files are looked for first; the program's folder
    // unless set.
    void setLibraryFolder(const QString& folder) { libraryFolder_ = folder; }
    void setUrlOpener(corvane::UrlOpener opener) { openUrl_ = std::move(opener); }

    // Shown in Label1 each time the box is shown; "More >>>" sets it.
    QString programText;

    QTabWidget* PageControl1 = nullptr;
    corvane::TExeButton* ExeButton1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    corvane::TMButton *MButton1 = nullptr, *MButton2 = nullptr, *MButton3 = nullptr, *MButton4 = nullptr;
    std::array<QLineEdit*, 5> versionFields{};  // Edit1 .. Edit5
    QPlainTextEdit* Copyrights = nullptr;
    QPushButton* Button1 = nullptr;

    // Reads every version afresh; runs whenever the box is shown.
    void FormShow();

public slots:
    void Button1Click();
    void Button2Click();
    void MButton2Click();

protected:
    void showEvent(QShowEvent* event) override;

private:
    QString libraryFolder_;
    corvane::UrlOpener openUrl_;
};
