#include "exebuttn.h"
#include "mbutton.h"

#include "qtprint.h"

#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QMouseEvent>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using corvane::ExeButton;
using corvane::MButton;

namespace {

const QColor kLight(255, 255, 255), kDark(0, 0, 0), kFace(128, 128, 128);

// A shown window holding one button, so repaints reach the screen.
template <typename Button>
struct Shown {
    Shown(QSize size) {
        window.resize(200, 120);
        button = new Button(&window);
        button->setGeometry(QRect(QPoint(30, 40), size));
        window.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
    }
    // What is on screen now, without painting again.
    QColor onScreen(QPoint at) {
        const QImage screen = window.screen()->grabWindow(window.winId()).toImage();
        return screen.pixelColor(button->mapTo(&window, at));
    }
    QWidget window;
    Button* button;
};

void moveTo(QWidget* widget, QPoint at) {
    QMouseEvent move(QEvent::MouseMove, at, widget->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &move);
}

TEST(ExeButton, AutoSizeFollowsIconAndLabel) {
    struct Row {
        bool large, icon, label;
        QSize size;
    };
    const Row table[] = {
        {true, true, false, {40, 40}},  {true, true, true, {104, 40}},   {true, false, true, {72, 40}},
        {true, false, false, {40, 40}}, {false, true, false, {24, 24}},  {false, true, true, {88, 24}},
        {false, false, true, {72, 24}}, {false, false, false, {24, 24}},
    };
    ExeButton button;
    button.setAuto(true);
    for (const Row& row : table) {
        button.setLargeIcon(row.large);
        button.setShowIcon(row.icon);
        button.setShowLabel(row.label);
        EXPECT_EQ(button.size(), row.size) << row.large << row.icon << row.label;
    }
}

TEST(ExeButton, FileNameGivesCaptionFolderAndExtension) {
    ExeButton button;
    button.setFileName("/opt/Tools/paint.exe");
    EXPECT_EQ(button.caption(), "paint");
    EXPECT_EQ(button.filePath(), "/opt/Tools/");
    EXPECT_EQ(button.fileExt(), ".EXE");

    button.setCaption("Editor");
    button.setFileName("/opt/Tools/paint.exe");  // same name: nothing happens
    EXPECT_EQ(button.caption(), "Editor");

    button.setFileName("/opt/Tools/README");
    EXPECT_EQ(button.caption(), "README");
    EXPECT_EQ(button.fileExt(), "");
}

TEST(ExeButton, CaptionIsCutToItsSpace) {
    const auto sixEach = [](const QString& s) { return int(s.size()) * 6; };
    EXPECT_EQ(ExeButton::cutCaption("abcdefghijklmno", 64, sixEach).text, "abcdefgh..");
    const ExeButton::CaptionFit fits = ExeButton::cutCaption("abc", 64, sixEach);
    EXPECT_EQ(fits.text, "abc");
    EXPECT_EQ(fits.x, 23);
    EXPECT_EQ(ExeButton::cutCaption("abcdef", 18, sixEach).text, "abc");  // too short for ".."
    EXPECT_EQ(ExeButton::cutCaption("abcdef", 0, sixEach).text, "");
    EXPECT_EQ(ExeButton::cutCaption("abcdef", -5, sixEach).text, "");

    // The 64-pixel text space of a 104x40 button, in the button's own font.
    ExeButton button;
    const QFontMetrics metrics(button.font());
    const auto measure = [&](const QString& s) { return metrics.horizontalAdvance(s); };
    const QString cut = ExeButton::cutCaption("A rather long program title", 64, measure).text;
    EXPECT_TRUE(cut.endsWith("..")) << cut.toStdString();
    EXPECT_LE(measure(cut), 64);
}

TEST(ExeButton, MouseLatchesAndLaunchesOnlyInsideTheOuterFrame) {
    Shown<ExeButton> shown({40, 40});
    ExeButton* button = shown.button;
    QStringList launched;
    button->setLauncher([&](const QString& file, const QString& folder) { launched << file + " in " + folder; });
    button->setFileName("/opt/Tools/paint.exe");
    button->setAutoRun(true);

    for (QPoint at : {QPoint(0, 20), QPoint(20, 0), QPoint(40, 20)}) {
        QTest::mousePress(button, Qt::LeftButton, {}, QPoint(20, 20));
        QTest::mouseRelease(button, Qt::LeftButton, {}, at);
    }
    EXPECT_TRUE(launched.isEmpty());
    QTest::mouseClick(button, Qt::RightButton, {}, QPoint(20, 20));
    EXPECT_TRUE(launched.isEmpty());

    QTest::mousePress(button, Qt::MiddleButton, {}, QPoint(20, 20));
    EXPECT_TRUE(button->isDown());
    QTest::mouseRelease(button, Qt::MiddleButton, {}, QPoint(39, 39));
    EXPECT_FALSE(button->isDown());
    EXPECT_EQ(launched, QStringList{"/opt/Tools/paint.exe in /opt/Tools/"});

    button->setLatch(true);
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(20, 20));
    EXPECT_TRUE(button->isDown());
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(20, 20));
    EXPECT_FALSE(button->isDown());
}

TEST(ExeButton, LinksAreFollowedAndDeadOnesOpenNothing) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString target = dir.filePath("tools/realeditor");
    ASSERT_TRUE(QDir().mkpath(dir.filePath("tools")));
    QFile(target).open(QIODevice::WriteOnly);
    ASSERT_TRUE(QFile::link(target, dir.filePath("editor.Lnk")));
    ASSERT_TRUE(QFile::link(target, dir.filePath("editor")));
    QFile(dir.filePath("windows.lnk")).open(QIODevice::WriteOnly);  // a shortcut we cannot read

    ExeButton button;
    QStringList launched;
    button.setLauncher([&](const QString& file, const QString& folder) { launched << file + " in " + folder; });
    const QString expected = target + " in " + dir.filePath("tools");

    button.setFileName(dir.filePath("editor.Lnk"));
    button.launch();
    button.setFileName(dir.filePath("editor"));
    button.launch();
    EXPECT_EQ(launched, QStringList({expected, expected}));

    button.setFileName(dir.filePath("windows.lnk"));
    button.launch();
    QFile::remove(target);
    button.setFileName(dir.filePath("editor.Lnk"));
    button.launch();
    EXPECT_EQ(launched.size(), 2);
}

TEST(MButton, FrameShowsFromPointerEntryUntilItLeaves) {
    Shown<MButton> shown({40, 20});
    MButton* button = shown.button;
    button->setColorLight(kLight);
    button->setColorDark(kDark);
    button->setColor(kFace);
    button->setBorder(false);
    const QPoint left(0, 5), right(39, 5);
    EXPECT_EQ(shown.onScreen(left), kFace);

    moveTo(button, {10, 10});
    EXPECT_EQ(shown.onScreen(left), kLight);  // raised
    EXPECT_EQ(shown.onScreen(right), kDark);
    moveTo(button, {12, 10});  // no new repaint while over it
    EXPECT_EQ(shown.onScreen(left), kLight);

    QTest::mousePress(button, Qt::LeftButton, {}, QPoint(12, 10));
    EXPECT_EQ(shown.onScreen(left), kDark);  // sunken
    EXPECT_EQ(shown.onScreen(right), kLight);
    moveTo(button, {41, 10});  // dragged off
    EXPECT_EQ(shown.onScreen(left), kDark);
    QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(41, 10));
    EXPECT_EQ(shown.onScreen(left), kFace);

    moveTo(button, {10, 10});
    EXPECT_EQ(shown.onScreen(left), kLight);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(button, &leave);
    EXPECT_EQ(shown.onScreen(left), kFace);
}

TEST(MButton, RockerSinksThePressedHalf) {
    Shown<MButton> shown({60, 20});
    MButton* button = shown.button;
    button->setColorLight(kLight);
    button->setColorDark(kDark);
    button->setRockerLR(true);
    const QPoint topLeftHalf(5, 0), topRightHalf(50, 0);

    QTest::mousePress(button, Qt::LeftButton, {}, QPoint(29, 10));
    EXPECT_TRUE(button->clickLeft());
    EXPECT_EQ(shown.onScreen(topLeftHalf), kDark);
    EXPECT_EQ(shown.onScreen(topRightHalf), kLight);
    QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(29, 10));

    QTest::mousePress(button, Qt::LeftButton, {}, QPoint(30, 10));
    EXPECT_FALSE(button->clickLeft());
    EXPECT_EQ(shown.onScreen(topLeftHalf), kLight);
    EXPECT_EQ(shown.onScreen(topRightHalf), kDark);
    QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(30, 10));
}

TEST(MButton, MenuDropsFromTheLowerLeftCornerAndLeavesTheButtonUp) {
    Shown<MButton> shown({40, 20});
    MButton* button = shown.button;
    QMenu menu;
    menu.addAction("Item");
    button->setDropDownMenu(&menu);
    button->setLatch(true);

    bool wasShown = false;
    QPoint shownAt;
    QTimer::singleShot(0, &menu, [&] {
        wasShown = menu.isVisible();
        shownAt = menu.pos();
        menu.close();
    });
    QTest::mousePress(button, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_TRUE(wasShown);
    EXPECT_EQ(shownAt, button->mapToGlobal(QPoint(0, 20)));
    EXPECT_FALSE(button->isDown());
    QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_FALSE(button->isDown());
}

TEST(MButton, BitmapIsStretchedSquareOrCentred) {
    MButton button;
    button.resize(40, 20);
    QPixmap red(10, 10);
    red.fill(Qt::red);
    button.setBitmap(red);

    QImage image = button.grab().toImage();
    EXPECT_EQ(image.pixelColor(15, 15), QColor(Qt::red));  // 14 pixels a side, from the height
    EXPECT_NE(image.pixelColor(16, 15), QColor(Qt::red));

    button.setStretch(false);
    image = button.grab().toImage();
    EXPECT_EQ(image.pixelColor(15, 5), QColor(Qt::red));
    EXPECT_NE(image.pixelColor(14, 5), QColor(Qt::red));
}

}  // namespace
