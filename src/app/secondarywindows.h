// The secondary windows.  Each is created hidden at start-up and lives until
// the program ends: the text window, the about box and the large window.
#pragma once

#include "windowtypes.h"

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
class QTabWidget;
class QUrl;

namespace corvane {

class AnyImage;
class ExeButton;
class MButton;
class ZoomView;

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

// The picture formats the library reads, one "Description (EXT)" each.
QStringList supportedPictureFormats(const PictureFormatTable& formats = libraryPictureFormats());

// The versions of the parts in AboutBox::kLibraries order, each as the part
// itself reports it; empty for a part that cannot be loaded.
std::array<QString, 5> loadedVersions();

// The text window's text.
QString aboutText(const QStringList& pictureFormats);

// The program's icon and logo, drawn at the size asked for.
QPixmap programPicture(int size);

// Asks the desktop to open an address; replaceable in tests.
using UrlOpener = std::function<bool(const QUrl& url)>;

class AboutBox;

// The text window: what Corvane reads, shown by "About".
class TextWindow : public QDialog {
    Q_OBJECT
public:
    explicit TextWindow(QWidget* parent = nullptr, const QStringList& pictureFormats = supportedPictureFormats());

    // "More >>>" shows this box.
    void setAboutBox(AboutBox* box) { aboutBox_ = box; }

    QPlainTextEdit* formatsText = nullptr;
    QPushButton* okButton = nullptr;
    QPushButton* moreButton = nullptr;

public slots:
    // Shows the about box, then closes this window too.
    void showMore();

private:
    AboutBox* aboutBox_ = nullptr;
};

// The large window: a level shown large and zoomable, the 512x512 level
// unless "View Larger" picked another.  It keeps its own place in the main
// window's kept geometry whenever it is hidden or closed.
class LargeLevelWindow : public QWidget {
    Q_OBJECT
public:
    explicit LargeLevelWindow(QWidget* parent = nullptr);

    // Reads the level's file; what it reads is shown in `zoom`.
    AnyImage* view = nullptr;
    ZoomView* zoom = nullptr;

    // The level shown: 0 for 512 .. 9 for 1.  Sets the caption.
    int levelIndex() const { return levelIndex_; }
    void setLevelIndex(int levelIndex);
    // Transparent parts over the checkerboard, or the colours alone.
    void setCheckerboard(bool on);
    // Shows the view's picture again, as its opacity now stands.
    void showPicture();

    void keepGeometryIn(LargeWindowGeometry* kept) { kept_ = kept; }
    void applyGeometry(const LargeWindowGeometry& geometry);
    LargeWindowGeometry currentGeometry() const;

signals:
    // The level was double-clicked: edit the level with this index (0 for 512).
    void editRequested(int levelIndex);

protected:
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void keepGeometry();

    LargeWindowGeometry* kept_ = nullptr;
    int levelIndex_ = 0;
};

// The about box: the program's version, the makers, the library files'
// versions and the copyright terms.
class AboutBox : public QDialog {
    Q_OBJECT
public:
    explicit AboutBox(QWidget* parent = nullptr);

    // What the DLLs page lists: the image library, its decoder module,
    // ImageMagick, libimagequant and Qt, each as loaded by this program.
    static const std::array<const char*, 5> kLibraries;
    void setUrlOpener(UrlOpener opener) { openUrl_ = std::move(opener); }

    // Shown under the program's button each time the box is shown; "More >>>" sets it.
    QString programText;

    QTabWidget* pages = nullptr;
    ExeButton* programButton = nullptr;
    QLabel* programLabel = nullptr;
    QLabel* versionLabel = nullptr;
    MButton *logo = nullptr, *contactButton = nullptr, *siteButton = nullptr, *librariesSiteButton = nullptr;
    std::array<QLineEdit*, 5> versionFields{};  // one per library, in kLibraries order
    QPlainTextEdit* copyrights = nullptr;
    QPushButton* closeButton = nullptr;

    // Reads every version afresh; runs whenever the box is shown.
    void readVersions();

public slots:
    // Opens the maker's web site, then closes the box.
    void visitWebSite();
    // Opens a mail to the maker, then closes the box.
    void writeToMaker();

protected:
    void showEvent(QShowEvent* event) override;

private:
    UrlOpener openUrl_;
};

}  // namespace corvane
