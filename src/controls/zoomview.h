// A level shown large: fit to the window or zoomed up to 32 times, nearest
// texel, each texel a whole number of device pixels at whole zooms (whatever
// the screen's scale), a texel grid from 8 times on, scroll bars when it is
// larger than the window.
//
// Keys: Ctrl++ (or Ctrl+=) and Ctrl+- step the zoom, Ctrl+0 fits, Ctrl+1 is
// 100%; Ctrl+wheel steps the zoom about the texel under the mouse.
#pragma once

#include <QAbstractScrollArea>
#include <QImage>

#include <optional>

namespace corvane {

class ZoomView : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit ZoomView(QWidget* parent = nullptr);

    // The level: its own colours with its opacity as alpha (see composeLevel).
    void setImage(const QImage& image);
    const QImage& image() const { return image_; }
    // Transparent parts over a checkerboard (on), or the colours alone.
    void setCheckerboard(bool on);
    bool checkerboard() const { return checkerboard_; }

    static constexpr qreal kMaxZoom = 32;
    static constexpr qreal kGridFrom = 8;

    // The zoom in force, in logical pixels per texel (fitting included).
    qreal zoom() const;
    bool fitting() const { return fit_; }
    // Device pixels per texel: whole from one up, a fraction when a level
    // larger than the window is fitted.
    qreal devicePixelsPerTexel() const;

    void setZoom(qreal zoom);
    void zoomIn();
    void zoomOut();
    void fitToWindow();

signals:
    void zoomChanged(qreal zoom);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    qreal ratio() const;
    qreal fitScale() const;  // device pixels per texel that fit the viewport
    qreal scaleFor(qreal zoom) const;
    QSize viewportDevice() const;
    QSize contentDevice() const;
    // Applies a new zoom keeping the content point under `anchor` (viewport
    // device pixels) where it is.
    void changeZoom(bool fit, qreal zoom, QPointF anchor);
    void updateScrollBars();
    QPointF centre() const;
    struct Step {
        bool fit;
        qreal zoom;
    };
    std::optional<Step> stepIn() const;
    std::optional<Step> stepOut() const;
    QPoint contentOrigin() const;  // where content (0,0) is, in viewport device pixels

    QImage image_;
    bool checkerboard_ = true;
    bool fit_ = true;
    qreal zoom_ = 1;  // when not fitting
    int wheelTurn_ = 0;
};

}  // namespace corvane
