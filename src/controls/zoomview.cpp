#include "zoomview.h"

#include "checkerboard.h"

#include <QAction>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <QWheelEvent>

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

namespace corvane {

namespace {

// Zoom steps above 100%; below it each step halves, down to the fit.
constexpr std::array<qreal, 10> kSteps{1, 2, 3, 4, 6, 8, 12, 16, 24, 32};

// Half-strength grey: visible over light and dark texels alike.
QRgb gridOver(QRgb texel) {
    const auto mix = [](int c) { return (c + 0x80 + 1) / 2; };
    return qRgb(mix(qRed(texel)), mix(qGreen(texel)), mix(qBlue(texel)));
}

}  // namespace

ZoomView::ZoomView(QWidget* parent) : QAbstractScrollArea(parent) {
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setBackgroundRole(QPalette::Dark);
    viewport()->setAutoFillBackground(true);
    // The zoom commands in a context menu, where their keys can be read.
    const auto command = [this](const QString& text, const QKeySequence& keys, auto slot) {
        auto* action = new QAction(text, this);
        action->setShortcut(keys);
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        action->setShortcutVisibleInContextMenu(true);
        connect(action, &QAction::triggered, this, slot);
        addAction(action);
    };
    command(tr("Zoom In"), QKeySequence(Qt::CTRL | Qt::Key_Plus), [this] { zoomIn(); });
    command(tr("Zoom Out"), QKeySequence(Qt::CTRL | Qt::Key_Minus), [this] { zoomOut(); });
    command(tr("Fit to Window"), QKeySequence(Qt::CTRL | Qt::Key_0), [this] { fitToWindow(); });
    command(tr("Actual Size"), QKeySequence(Qt::CTRL | Qt::Key_1), [this] { setZoom(1); });
    setContextMenuPolicy(Qt::ActionsContextMenu);
}

void ZoomView::setImage(const QImage& image) {
    image_ = image.isNull() ? QImage() : image.convertToFormat(QImage::Format_ARGB32);
    updateScrollBars();
    viewport()->update();
}

void ZoomView::setCheckerboard(bool on) {
    if (checkerboard_ == on) return;
    checkerboard_ = on;
    viewport()->update();
}

qreal ZoomView::ratio() const { return std::max<qreal>(1e-3, viewport()->devicePixelRatioF()); }

QSize ZoomView::viewportDevice() const {
    return QSize(int(std::floor(viewport()->width() * ratio())), int(std::floor(viewport()->height() * ratio())));
}

qreal ZoomView::fitScale() const {
    if (image_.isNull()) return 1;
    const QSize room = viewportDevice();
    const qreal s = std::min(qreal(room.width()) / image_.width(), qreal(room.height()) / image_.height());
    if (s >= 1) return std::min(std::floor(s), std::round(kMaxZoom * ratio()));
    return std::max(s, 1.0 / std::max(image_.width(), image_.height()));
}

qreal ZoomView::scaleFor(qreal zoom) const {
    // Whole device pixels from 100% on, also at fractional screen scales.
    if (zoom >= 1) return std::max<qreal>(1, std::round(zoom * ratio()));
    return zoom * ratio();
}

qreal ZoomView::devicePixelsPerTexel() const { return fit_ ? fitScale() : scaleFor(zoom_); }

qreal ZoomView::zoom() const { return fit_ ? fitScale() / ratio() : zoom_; }

QSize ZoomView::contentDevice() const {
    if (image_.isNull()) return {};
    const qreal s = devicePixelsPerTexel();
    return QSize(std::max(1, int(std::round(image_.width() * s))), std::max(1, int(std::round(image_.height() * s))));
}

void ZoomView::updateScrollBars() {
    const QSize content = contentDevice(), room = viewportDevice();
    // Scroll positions count device pixels.
    horizontalScrollBar()->setRange(0, std::max(0, content.width() - room.width()));
    verticalScrollBar()->setRange(0, std::max(0, content.height() - room.height()));
    horizontalScrollBar()->setPageStep(std::max(1, room.width()));
    verticalScrollBar()->setPageStep(std::max(1, room.height()));
    const int step = std::max(1, int(devicePixelsPerTexel()));
    horizontalScrollBar()->setSingleStep(step);
    verticalScrollBar()->setSingleStep(step);
}

QPoint ZoomView::contentOrigin() const {
    const QSize content = contentDevice(), room = viewportDevice();
    // Centred while it is smaller than the window, else where the bars say.
    const int x =
        content.width() < room.width() ? (room.width() - content.width()) / 2 : -horizontalScrollBar()->value();
    const int y =
        content.height() < room.height() ? (room.height() - content.height()) / 2 : -verticalScrollBar()->value();
    return {x, y};
}

void ZoomView::changeZoom(bool fit, qreal zoom, QPointF anchor) {
    const qreal before = this->zoom();
    const qreal oldScale = devicePixelsPerTexel();
    const QPoint oldOrigin = contentOrigin();
    const QPointF texel = (anchor - QPointF(oldOrigin)) / oldScale;
    fit_ = fit;
    zoom_ = std::clamp<qreal>(zoom, 1.0 / 1024, kMaxZoom);
    updateScrollBars();
    const qreal s = devicePixelsPerTexel();
    horizontalScrollBar()->setValue(int(std::round(texel.x() * s - anchor.x())));
    verticalScrollBar()->setValue(int(std::round(texel.y() * s - anchor.y())));
    viewport()->update();
    if (!qFuzzyCompare(before, this->zoom())) emit zoomChanged(this->zoom());
}

QPointF ZoomView::centre() const { return QPointF(viewportDevice().width() / 2.0, viewportDevice().height() / 2.0); }

void ZoomView::setZoom(qreal zoom) { changeZoom(false, zoom, centre()); }

void ZoomView::fitToWindow() { changeZoom(true, zoom_, centre()); }

std::optional<ZoomView::Step> ZoomView::stepIn() const {
    const qreal now = zoom();
    qreal next = kMaxZoom;
    if (now < 1) {
        next = 1;
        for (qreal z = 0.5; z > now + 1e-9; z /= 2) next = z;
    } else {
        for (qreal z : kSteps)
            if (z > now + 1e-9) {
                next = z;
                break;
            }
    }
    if (next <= now + 1e-9) return std::nullopt;
    return Step{false, next};
}

std::optional<ZoomView::Step> ZoomView::stepOut() const {
    const qreal now = zoom();
    // Never below the fit, nor below 100% for a level that fits larger.
    const qreal lowest = std::min<qreal>(1, fitScale() / ratio());
    if (now <= lowest + 1e-9) return std::nullopt;
    qreal next = now / 2;
    for (auto it = kSteps.rbegin(); it != kSteps.rend(); ++it)
        if (now > 1 + 1e-9 && *it < now - 1e-9) {
            next = *it;
            break;
        }
    if (next <= lowest + 1e-9) return lowest < 1 ? Step{true, zoom_} : Step{false, lowest};
    return Step{false, next};
}

void ZoomView::zoomIn() {
    if (const auto step = stepIn()) changeZoom(step->fit, step->zoom, centre());
}

void ZoomView::zoomOut() {
    if (const auto step = stepOut()) changeZoom(step->fit, step->zoom, centre());
}

void ZoomView::keyPressEvent(QKeyEvent* event) {
    if (event->modifiers() & Qt::ControlModifier) {
        switch (event->key()) {
            case Qt::Key_Plus:
            case Qt::Key_Equal:
                zoomIn();
                return;
            case Qt::Key_Minus:
                zoomOut();
                return;
            case Qt::Key_0:
                fitToWindow();
                return;
            case Qt::Key_1:
                setZoom(1);
                return;
            default:
                break;
        }
    }
    QAbstractScrollArea::keyPressEvent(event);
}

void ZoomView::wheelEvent(QWheelEvent* event) {
    if (!(event->modifiers() & Qt::ControlModifier)) {
        QAbstractScrollArea::wheelEvent(event);
        return;
    }
    // A notch is 120; touchpads send smaller parts of one.
    wheelTurn_ += event->angleDelta().y();
    const QPointF anchor = event->position() * ratio();
    while (std::abs(wheelTurn_) >= 120) {
        const bool in = wheelTurn_ > 0;
        wheelTurn_ -= in ? 120 : -120;
        if (const auto step = in ? stepIn() : stepOut()) changeZoom(step->fit, step->zoom, anchor);
    }
    event->accept();
}

void ZoomView::resizeEvent(QResizeEvent* event) {
    const qreal before = zoom();
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBars();
    if (!qFuzzyCompare(before, zoom())) emit zoomChanged(zoom());
}

void ZoomView::scrollContentsBy(int, int) { viewport()->update(); }

void ZoomView::paintEvent(QPaintEvent*) {
    if (image_.isNull()) return;
    QPainter painter(viewport());
    const qreal r = ratio();
    const qreal s = devicePixelsPerTexel();
    const QPoint origin = contentOrigin();
    const QSize room = viewportDevice();
    QImage shown;
    QPoint at;
    if (s >= 1) {
        // Only what the window shows is built, in device pixels.
        const int scale = int(s);
        const QRect visible = QRect(QPoint(-origin.x(), -origin.y()), room);
        shown = composeLevel(image_, scale, 1, checkerboard_, visible);
        if (shown.isNull()) return;
        const QRect part = visible.intersected(QRect(QPoint(0, 0), contentDevice()));
        if (zoom() >= kGridFrom - 1e-9) {
            // A line on the first device pixel of every texel column and row.
            for (int y = 0; y < shown.height(); ++y) {
                auto* line = reinterpret_cast<QRgb*>(shown.scanLine(y));
                const bool rowLine = (part.top() + y) % scale == 0;
                for (int x = 0; x < shown.width(); ++x)
                    if (rowLine || (part.left() + x) % scale == 0) line[x] = gridOver(line[x]);
            }
        }
        at = part.topLeft() + origin;
    } else {
        const QImage whole = composeLevel(image_, 1, 1, checkerboard_);
        shown = whole.scaled(contentDevice(), Qt::IgnoreAspectRatio, Qt::FastTransformation);
        at = origin;
    }
    shown.setDevicePixelRatio(r);
    painter.drawImage(QPointF(at) / r, shown);
}

}  // namespace corvane
