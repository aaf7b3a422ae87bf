#include "anyimage.h"

#include "checkerboard.h"
#include "workfolder.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QLibrary>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace corvane {

static_assert(sizeof(QuorContext) == 1024);

namespace {

using ConvertRoutine = int32_t (*)(const char*, const char*, QuorContext*, int32_t, int32_t);
using ValidRoutine = int32_t (*)(const char*);

AnyImage::MessageHook& defaultHook() {
    static AnyImage::MessageHook hook;
    return hook;
}

QByteArray nativePath(const QString& path) { return QFile::encodeName(QDir::toNativeSeparators(path)); }

// The name part of a path: what follows its last directory separator.
QString namePart(const QString& path) {
    qsizetype cut = path.lastIndexOf(u'/');
#ifdef _WIN32
    cut = std::max(cut, path.lastIndexOf(u'\\'));
    cut = std::max(cut, path.lastIndexOf(u':'));
#endif
    return path.mid(cut + 1);
}

}  // namespace

AnyImage::AnyImage(QWidget* parent, const QString& libraryName)
    : QWidget(parent), libraryName_(libraryName), tempDir_(defaultTempDir()) {
    resize(105, 105);
}

AnyImage::~AnyImage() { unloadLibrary(); }

QString AnyImage::defaultTempDir() { return privateWorkFolder(); }

void AnyImage::setTempDir(const QString& folder) {
    tempDir_ = withSeparator(folder);
    privateTempDir_ = false;
}

QString AnyImage::usableTempDir() const {
    if (privateTempDir_ && !preparePrivateFolder(tempDir_)) return {};
    return tempDir_;
}

QString AnyImage::libraryFileName(const QString& baseName) {
#if defined(_WIN32)
    return baseName + QStringLiteral(".dll");
#elif defined(__APPLE__)
    return QStringLiteral("lib") + baseName + QStringLiteral(".dylib");
#else
    return QStringLiteral("lib") + baseName + QStringLiteral(".so");
#endif
}

void AnyImage::setLibraryName(const QString& name) {
    unloadLibrary();
    libraryName_ = name;
}

bool AnyImage::libraryLoaded() const { return library_ != nullptr; }

bool AnyImage::loadLibrary() {
    auto library = std::make_unique<QLibrary>();
    QStringList candidates;
    if (QFileInfo(libraryName_).isAbsolute()) {
        candidates << libraryName_;
    } else {
        // Our own copy beside the program wins over anything installed.
        const QString beside = QCoreApplication::applicationDirPath() + u'/' + libraryFileName(libraryName_);
        if (QFileInfo::exists(beside)) candidates << beside;
        candidates << libraryName_;
    }
    for (const QString& candidate : candidates) {
        library->setFileName(candidate);
        if (library->load()) {
            library_ = std::move(library);
            return true;
        }
    }
    return false;
}

void AnyImage::unloadLibrary() {
    if (!library_) return;
    library_->unload();
    library_.reset();
}

void AnyImage::showMessage(const QString& title, const QString& text) {
    if (messageHook_) {
        messageHook_(title, text);
    } else if (defaultHook()) {
        defaultHook()(title, text);
    } else {
        QWidget* focused = QApplication::focusWidget();
        QWidget* owner = focused ? focused->window() : QApplication::activeWindow();
        QMessageBox::critical(owner, title, text, QMessageBox::Ok);
    }
}

void AnyImage::setDefaultMessageHook(MessageHook hook) { defaultHook() = std::move(hook); }

void AnyImage::setFileName(const QString& name) {
    if (name == fileName_) return;
    fileName_ = name;
    load();
}

void AnyImage::setJpegScale(int scale) {
    if (scale == jpegScale_) return;
    jpegScale_ = JpegScale(std::clamp(scale, 0, 2));
    if (extension_ == QLatin1String(".JPG")) load();
}

void AnyImage::setPcdSize(int size) {
    if (size == pcdSize_) return;
    pcdSize_ = PcdSize(std::clamp(size, 0, 2));
    if (extension_ == QLatin1String(".PCD")) load();
}

void AnyImage::setTruColor(bool truColor) {
    if (truColor == truColor_) return;
    truColor_ = truColor;
    load();
}

void AnyImage::setAutoFlush(bool autoFlush) {
    autoFlush_ = autoFlush;
    unloadLibrary();
}

void AnyImage::setCenterOnParent(bool center) {
    if (center == centerOnParent_) return;
    centerOnParent_ = center;
    if (center) load();
}

void AnyImage::setProportional(bool proportional) {
    proportional_ = proportional;
    if (!proportional) return;
    setAutoSize(false);
    setStretch(true);
    fitToPicture();
}

void AnyImage::setStretch(bool stretch) {
    stretch_ = stretch;
    update();
}

void AnyImage::setAutoSize(bool autoSize) {
    autoSize_ = autoSize;
    setPicture(picture_);
}

void AnyImage::setCenter(bool center) {
    center_ = center;
    update();
}

void AnyImage::load() {
    const QString& name = fileName_;
    const QString part = namePart(name);
    const qsizetype dot = part.lastIndexOf(u'.');
    const QString extension = dot >= 0 ? part.mid(dot) : QString();
    extension_ = extension.toUpper();

    // Icons (and metafiles, where a reader exists) need no conversion.
    if (extension_ == QLatin1String(".ICO") || extension_ == QLatin1String(".WMF") ||
        extension_ == QLatin1String(".EMF")) {
        readPicture(name);
        return;
    }

    QuorProgress routine = nullptr;
    std::memcpy(context_.bytes + QUOR_CONTEXT_PROGRESS, &routine, sizeof routine);
    if (progress_) std::memcpy(context_.bytes + QUOR_CONTEXT_PROGRESS, &progress_, sizeof progress_);

    if (!library_ && !loadLibrary()) {
        showMessage(QStringLiteral("AnyImage"), QStringLiteral("Cannot find ") + libraryFileName(libraryName_));
        return;
    }

    // Looked up afresh every time: TruColor may have changed since the last load.
    const auto convert = reinterpret_cast<ConvertRoutine>(library_->resolve(truColor_ ? "_anytobmps" : "_anyto256"));
    const auto valid = reinterpret_cast<ValidRoutine>(library_->resolve("_Pic_Valid"));
    if (!convert || !valid) {
        showMessage(QStringLiteral("QuorImg"), QStringLiteral("Cannot find Routine"));
    } else if (const QString folder = usableTempDir(); !folder.isEmpty()) {
        const QString temporary = folder + u'x' + part.left(part.size() - extension.size()) + QStringLiteral(".bmp");
        const QByteArray source = nativePath(name);
        if (valid(source.constData()) != 0 && convert(source.constData(), nativePath(temporary).constData(), &context_,
                                                      int32_t(pcdSize_) + 1, int32_t(jpegScale_)) != 0) {
            if (readPicture(temporary) && proportional_) fitToPicture();
        }
        QFile::remove(temporary);
    }

    if (autoFlush_) unloadLibrary();
}

bool AnyImage::readPicture(const QString& path) {
    QImageReader reader(path);
    QImage image = reader.read();
    if (image.isNull()) return false;  // the picture on show stays
    setPicture(image);
    return true;
}

void AnyImage::setPicture(const QImage& image) {
    picture_ = image;
    if (autoSize_ && picture_.width() > 0 && picture_.height() > 0) resize(picture_.size());
    update();
    emit pictureChanged();
}

void AnyImage::clearPicture() { setPicture(QImage()); }

void AnyImage::setCheckerboard(bool on) {
    if (on == checkerboard_) return;
    checkerboard_ = on;
    update();
}

void AnyImage::setPaletteOfSet(const std::array<QRgb, 256>& palette) {
    paletteOfSet_ = palette;
    update();
}

void AnyImage::clearPaletteOfSet() {
    paletteOfSet_.reset();
    update();
}

QImage AnyImage::shownLevel() const {
    if (picture_.isNull()) return {};
    if (picture_.format() == QImage::Format_Indexed8 && paletteOfSet_) {
        QImage indexed = picture_;
        indexed.setColorTable(QList<QRgb>(paletteOfSet_->begin(), paletteOfSet_->end()));
        return indexed.convertToFormat(QImage::Format_ARGB32);
    }
    return picture_.convertToFormat(QImage::Format_ARGB32);
}

void AnyImage::fitToPicture() {
    const int pw = picture_.width(), ph = picture_.height();
    if (pw == 0 || ph == 0) return;

    int w = int(std::trunc(height() * (double(pw) / ph)));
    int h = height();
    if (w > width()) {
        h = int(std::trunc(width() * (double(ph) / pw)));
        w = width();
    }

    QPoint at = pos();
    if (centerOnParent_ && parentWidget()) {
        const QSize client = parentWidget()->size();
        if (w < client.width()) at.setX((client.width() - w) / 2);
        if (h < client.height()) at.setY((client.height() - h) / 2);
    }
    setGeometry(QRect(at, QSize(w, h)));
}

void AnyImage::paintEvent(QPaintEvent*) {
    if (picture_.isNull()) return;
    QPainter painter(this);
    QRect target;
    if (stretch_) {
        target = rect();
    } else {
        target = QRect(QPoint(0, 0), picture_.size());
        if (center_) target.moveTo((width() - picture_.width()) / 2, (height() - picture_.height()) / 2);
    }
    // Small levels are shown enlarged: keep their pixels sharp.
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    const QImage level = checkerboard_ ? shownLevel() : picture_;
    // Each texel takes a whole number of device pixels, the most that fit
    // the place, so no texel is drawn wider than its neighbour at any screen
    // scale; what is left over is shared out round the picture.
    const qreal ratio = devicePixelRatioF();
    const int scale = int(std::floor(
        std::min(target.width() * ratio / picture_.width(), target.height() * ratio / picture_.height()) + 1e-6));
    if (scale < 1) {
        painter.drawImage(target, checkerboard_ ? composeLevel(level, 1, 1, true) : picture_);
        return;
    }
    // Without the checkerboard, what is behind the view shows through, as it always did.
    QImage shown = checkerboard_
                       ? composeLevel(level, scale, ratio, true)
                       : picture_.scaled(picture_.size() * scale, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    shown.setDevicePixelRatio(ratio);
    const QSizeF size = QSizeF(shown.size()) / ratio;
    const QPointF at(target.x() + (target.width() - size.width()) / 2,
                     target.y() + (target.height() - size.height()) / 2);
    // On a device pixel: a texel must not straddle two.
    painter.drawImage(QPointF(std::floor(at.x() * ratio) / ratio, std::floor(at.y() * ratio) / ratio), shown);
}

void AnyImage::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit clicked();
    QWidget::mouseReleaseEvent(event);
}

void AnyImage::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) emit doubleClicked();
    QWidget::mouseDoubleClickEvent(event);
}

}  // namespace corvane
