#include "exebuttn.h"

#include "framelines.h"

#include <QDesktopServices>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QProcess>
#include <QUrl>

#include <algorithm>

namespace corvane {

namespace {

qsizetype lastSeparator(const QString& path) {
    qsizetype cut = path.lastIndexOf(u'/');
#ifdef _WIN32
    cut = std::max({cut, path.lastIndexOf(u'\\'), path.lastIndexOf(u':')});
#endif
    return cut;
}

bool acts(Qt::MouseButton button) { return button == Qt::LeftButton || button == Qt::MiddleButton; }

}  // namespace

ExeButton::ExeButton(QWidget* parent) : QWidget(parent) {}

void ExeButton::openWithDesktop(const QString& file, const QString& workingDirectory) {
    const QFileInfo info(file);
    if (file.isEmpty() || !info.exists()) return;
    if (info.isFile() && info.isExecutable()) QProcess::startDetached(info.absoluteFilePath(), {}, workingDirectory);
    else QDesktopServices::openUrl(QUrl::fromLocalFile(info.absoluteFilePath()));
}

void ExeButton::setIcon(const QIcon& icon) {
    largeIcon_ = icon;
    smallIcon_ = icon.isNull() ? QIcon() : QIcon(icon.pixmap(16, 16));
}

void ExeButton::setFileName(const QString& name) {
    if (name == fileName_) return;
    fileName_ = name;

    const qsizetype cut = lastSeparator(name);
    const QString part = name.mid(cut + 1);
    const qsizetype dot = part.lastIndexOf(u'.');
    const QString extension = dot >= 0 ? part.mid(dot) : QString();
    fileExt_ = extension.toUpper();

    setIcon(QFileIconProvider().icon(QFileInfo(name)));
    caption_ = part.left(part.size() - extension.size());
    filePath_ = name.left(cut + 1);
    updateLayout();
}

void ExeButton::setCaption(const QString& caption) {
    if (caption == caption_) return;
    caption_ = caption;
    updateLayout();
}

void ExeButton::setDown(bool down) {
    down_ = down;
    updateLayout();
}
void ExeButton::setAuto(bool on) {
    auto_ = on;
    updateLayout();
}
void ExeButton::setAutoRun(bool on) {
    autoRun_ = on;
    updateLayout();
}
void ExeButton::setShowIcon(bool on) {
    showIcon_ = on;
    updateLayout();
}
void ExeButton::setShowLabel(bool on) {
    showLabel_ = on;
    updateLayout();
}
void ExeButton::setLargeIcon(bool on) {
    largeIcon32_ = on;
    updateLayout();
}
void ExeButton::setBorder(bool on) {
    border_ = on;
    updateLayout();
}

QColor ExeButton::color() const { return color_.isValid() ? color_ : palette().color(QPalette::Button); }

void ExeButton::setColor(const QColor& colour) {
    color_ = colour;
    repaint();
}

void ExeButton::updateLayout() {
    if (auto_) {
        const int side = iconSize() + 8;
        int w = side;
        if (showLabel_) {
            w += 64;
            if (!showIcon_) w -= iconSize();
        }
        resize(w, side);
    }
    repaint();
}

ExeButton::CaptionFit ExeButton::cutCaption(QString text, int space,
                                            const std::function<int(const QString&)>& textWidth) {
    CaptionFit fit;
    fit.x = std::max(0, (space - textWidth(text)) / 2);
    // x stays where the whole caption would have started.
    while (!text.isEmpty() && fit.x + textWidth(text) > space) {
        text.chop(1);
        if (text.size() > 4) {
            text[text.size() - 1] = u'.';
            text[text.size() - 2] = u'.';
        }
    }
    fit.text = text;
    return fit;
}

void ExeButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setFont(font());
    p.fillRect(rect(), color());
    const int w = width(), h = height();

    if (border_ || down_) {
        const QColor light = palette().color(QPalette::Midlight);
        const QColor dark = palette().color(QPalette::Shadow);
        QPoint pen(0, h);
        frameLineTo(p, pen, {0, 0}, down_ ? dark : light);
        frameLineTo(p, pen, {w - 1, 0}, down_ ? dark : light);
        frameLineTo(p, pen, {w - 1, h - 1}, down_ ? light : dark);
        frameLineTo(p, pen, {0, h - 1}, down_ ? light : dark);
    }

    if (showLabel_ && !caption_.isEmpty()) {
        const QFontMetrics metrics(font());
        const int space = w - 8 - (showIcon_ ? iconSize() : 0);
        const int y = (h - metrics.height()) / 2;
        CaptionFit fit = cutCaption(caption_, space, [&](const QString& s) { return metrics.horizontalAdvance(s); });
        if (showIcon_) fit.x += iconSize();
        p.setPen(palette().color(QPalette::ButtonText));
        p.setBackgroundMode(Qt::OpaqueMode);
        p.setBackground(color());
        p.drawText(QPoint(fit.x + 4, y + metrics.ascent()), fit.text);
    }

    if (showIcon_) {
        const QIcon& icon = largeIcon32_ ? largeIcon_ : smallIcon_;
        icon.paint(&p, QRect(4, 4, iconSize(), iconSize()));
    }
}

void ExeButton::press(QMouseEvent* event) {
    emit mousePressed(event->button(), event->position().toPoint());
    if (!acts(event->button())) return;
    down_ = latch_ ? !down_ : true;
    repaint();
}

void ExeButton::mousePressEvent(QMouseEvent* event) {
    clickArmed_ = event->button() == Qt::LeftButton;
    press(event);
}

void ExeButton::mouseDoubleClickEvent(QMouseEvent* event) {
    // The second press of a double click presses the button but is no new click.
    clickArmed_ = false;
    press(event);
}

void ExeButton::mouseMoveEvent(QMouseEvent* event) { emit mouseMoved(event->position().toPoint()); }

void ExeButton::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    emit mouseReleased(event->button(), at);
    if (!acts(event->button())) return;
    if (!latch_) down_ = false;
    repaint();
    // The outermost row and column do not count as on the button.
    if (autoRun_ && at.x() > 0 && at.x() < width() && at.y() > 0 && at.y() < height()) launch();
    if (event->button() == Qt::LeftButton && clickArmed_ && rect().contains(at)) emit clicked();
    clickArmed_ = false;
}

void ExeButton::launch() {
    if (!launcher_) return;
    const QFileInfo info(fileName_);
    if (fileExt_ == QLatin1String(".LNK") || info.isSymLink()) {
        // Open what the link points to, from the target's own folder; a link
        // this platform cannot read, or whose target is gone, opens nothing.
        const QString target = info.symLinkTarget();
        if (target.isEmpty() || !QFileInfo::exists(target)) return;
        launcher_(target, QFileInfo(target).absolutePath());
        return;
    }
    launcher_(fileName_, filePath_);
}

}  // namespace corvane
