// AnyImage: shows the picture stored in a named file.  Icons are read
// directly; every other format, plain BMP included, goes through the image
// library (bound at run time) into a temporary BMP that is read back and
// deleted.  Assigning the name already held does nothing, so a view is
// refreshed by assigning an empty name first.
#pragma once

#include "quorimg.h"

#include <QImage>
#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class QLibrary;

namespace corvane {

class AnyImage : public QWidget {
    Q_OBJECT

public:
    enum JpegScale { jsFull, jsHalf, jsQuarter };
    enum PcdSize { p192x128, p384x256, p768x512 };

    // Shows an error box; the default one is modal, owned by the focused window.
    using MessageHook = std::function<void(const QString& title, const QString& text)>;

    // libraryName is the library's base name ("quorimg" gives libquorimg.so
    // next to the program, else the system's search order) or a full path.
    explicit AnyImage(QWidget* parent = nullptr, const QString& libraryName = QStringLiteral("quorimg"));
    ~AnyImage() override;

    // Setters in the order a window description applies them: JpegScale,
    // PCDSize, FileName, TruColor, AutoFlush, CenterOnParent, Proportional.
    JpegScale jpegScale() const { return jpegScale_; }
    void setJpegScale(int scale);  // out-of-range values clamp to 0..2
    PcdSize pcdSize() const { return pcdSize_; }
    void setPcdSize(int size);  // likewise
    const QString& fileName() const { return fileName_; }
    void setFileName(const QString& name);
    bool truColor() const { return truColor_; }
    void setTruColor(bool truColor);
    bool autoFlush() const { return autoFlush_; }
    void setAutoFlush(bool autoFlush);  // unloads the library at once, either way
    bool centerOnParent() const { return centerOnParent_; }
    void setCenterOnParent(bool center);
    bool proportional() const { return proportional_; }
    void setProportional(bool proportional);

    // Shrinks one side of the bounds to the picture's aspect ratio and, with
    // CenterOnParent, centres the control in its parent.
    void fitToPicture();

    // How the picture is drawn, as a plain image control does: scaled to the
    // whole control, the control sized to the picture, or centred.
    bool stretch() const { return stretch_; }
    void setStretch(bool stretch);
    bool autoSize() const { return autoSize_; }
    void setAutoSize(bool autoSize);
    bool center() const { return center_; }
    void setCenter(bool center);

    const QImage& picture() const { return picture_; }

    // Where the picture is not opaque it is drawn over a checkerboard; off
    // (the default), its colours are drawn alone.
    bool checkerboard() const { return checkerboard_; }
    void setCheckerboard(bool on);
    // The palette a palette picture is drawn with, colour and transparency
    // level (alpha, 0 fully transparent .. 255 opaque) of each entry, in
    // place of the picture's own: the set's palette, which every level is
    // saved with.  Without it a palette picture shows its own colours, opaque.
    void setPaletteOfSet(const std::array<QRgb, 256>& palette);
    void clearPaletteOfSet();
    // The picture with the opacity the view gives it (ARGB32; null when there
    // is no picture).
    QImage shownLevel() const;
    // Shows nothing until the next picture is read; the file name stays.
    void clearPicture();
    // Upper-case extension of the file last loaded, with its dot.
    const QString& loadedExtension() const { return extension_; }

    const QString& libraryName() const { return libraryName_; }
    void setLibraryName(const QString& name);  // unloads a loaded library first
    bool libraryLoaded() const;
    // The library's file as the platform names it: "libquorimg.so", "quorimg.dll".
    static QString libraryFileName(const QString& baseName);

    // Where the temporary BMP of a load is written; ends with a separator.
    // By default the private folder "corvane-<user>" inside the temporary
    // folder (TEMP, TMP, TMPDIR, else the system's), since that is shared.
    const QString& tempDir() const { return tempDir_; }
    void setTempDir(const QString& folder);  // used as it is
    static QString defaultTempDir();

    void setProgressRoutine(QuorProgress routine) { progress_ = routine; }
    const QuorContext& context() const { return context_; }

    void setMessageHook(MessageHook hook) { messageHook_ = std::move(hook); }
    // Used by every control without a hook of its own (tests, the command line).
    static void setDefaultMessageHook(MessageHook hook);

signals:
    void clicked();
    void doubleClicked();
    // A new picture is on show (or none).
    void pictureChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void load();
    bool loadLibrary();
    void unloadLibrary();
    bool readPicture(const QString& path);
    void setPicture(const QImage& image);
    QString usableTempDir() const;
    void showMessage(const QString& title, const QString& text);

    JpegScale jpegScale_ = jsFull;
    PcdSize pcdSize_ = p768x512;
    QString fileName_;
    bool truColor_ = true;
    bool autoFlush_ = true;
    bool centerOnParent_ = true;
    bool proportional_ = true;
    bool stretch_ = false;
    bool autoSize_ = false;
    bool center_ = false;
    bool checkerboard_ = false;
    std::optional<std::array<QRgb, 256>> paletteOfSet_;

    QImage picture_;
    QString extension_;
    QString libraryName_;
    std::unique_ptr<QLibrary> library_;
    QString tempDir_;
    bool privateTempDir_ = true;  // the default folder is checked before each use
    QuorContext context_{};
    QuorProgress progress_ = nullptr;
    MessageHook messageHook_;
};

}  // namespace corvane
