// ExeButton: a button that stands for a file, usually a program.  It shows
// the file's icon and, optionally, a label, and can open the file when
// released (shortcuts and symbolic links are followed first).
#pragma once

#include <QIcon>
#include <QString>
#include <QWidget>

#include <functional>

namespace corvane {

class ExeButton : public QWidget {
    Q_OBJECT

public:
    // Opens a file the way the desktop does: a program is started detached,
    // anything else goes to its associated program.
    using Launcher = std::function<void(const QString& file, const QString& workingDirectory)>;
    static void openWithDesktop(const QString& file, const QString& workingDirectory);

    explicit ExeButton(QWidget* parent = nullptr);

    // The large icon; the small one is derived from it (no repaint).
    const QIcon& icon() const { return largeIcon_; }
    void setIcon(const QIcon& icon);

    // Also takes the file's icon, fills Caption (name without extension),
    // FilePath (folder with its separator) and FileExt (upper case, with dot).
    const QString& fileName() const { return fileName_; }
    void setFileName(const QString& name);
    const QString& filePath() const { return filePath_; }
    void setFilePath(const QString& path) { filePath_ = path; }
    const QString& fileExt() const { return fileExt_; }
    void setFileExt(const QString& ext) { fileExt_ = ext; }

    const QString& caption() const { return caption_; }
    void setCaption(const QString& caption);

    // Toggle mode: each press flips Down and release leaves it.
    bool latch() const { return latch_; }
    void setLatch(bool latch) { latch_ = latch; }

    // Each of these lays the button out again.
    bool isDown() const { return down_; }
    void setDown(bool down);
    bool isAuto() const { return auto_; }  // the button sizes itself
    void setAuto(bool on);
    bool autoRun() const { return autoRun_; }  // release opens the file
    void setAutoRun(bool on);
    bool showIcon() const { return showIcon_; }
    void setShowIcon(bool on);
    bool showLabel() const { return showLabel_; }
    void setShowLabel(bool on);
    bool largeIcon() const { return largeIcon32_; }  // 32 pixels, else 16
    void setLargeIcon(bool on);
    bool border() const { return border_; }  // frame while up (always while down)
    void setBorder(bool on);

    QColor color() const;
    void setColor(const QColor& colour);

    int iconSize() const { return largeIcon32_ ? 32 : 16; }
    void updateLayout();

    // Opens the file; a link whose target is gone opens nothing.
    void launch();
    void setLauncher(Launcher launcher) { launcher_ = std::move(launcher); }

    // A caption cut to fit space pixels: the last character goes, and while
    // more than four remain the last two become "..".  x is the centred start.
    struct CaptionFit {
        QString text;
        int x = 0;
    };
    static CaptionFit cutCaption(QString text, int space, const std::function<int(const QString&)>& textWidth);

signals:
    void clicked();
    void mousePressed(Qt::MouseButton button, QPoint position);
    void mouseReleased(Qt::MouseButton button, QPoint position);
    void mouseMoved(QPoint position);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void press(QMouseEvent* event);

    QIcon largeIcon_;
    QIcon smallIcon_;
    QString fileName_;
    QString filePath_;
    QString fileExt_;
    QString caption_;
    bool latch_ = false;
    bool down_ = false;
    bool auto_ = false;
    bool autoRun_ = false;
    bool showIcon_ = true;
    bool showLabel_ = true;
    bool largeIcon32_ = true;
    bool border_ = true;
    bool clickArmed_ = false;
    QColor color_;
    Launcher launcher_ = &ExeButton::openWithDesktop;
};

}  // namespace corvane
