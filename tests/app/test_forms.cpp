// The text window, the about box and the large window.
#include "anyimage.h"
#include "secondarywindows.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using namespace corvane;

TEST(VersionText, ShowsTheMajorNumberThenTheWholeLowWord) {
    const auto text = [](const char* dotted) {
        const auto v = parseVersion(QString::fromLatin1(dotted));
        return v ? versionText(*v) : QStringLiteral("none");
    };
    EXPECT_EQ(text("4.0.0.29"), "4.00.29");
    EXPECT_EQ(text("1.2.3.4"), "1.00.196612");  // 3 * 65536 + 4
    EXPECT_EQ(text("0.1.0"), "0.00.0");
    EXPECT_EQ(text("65535.65535.65535.65535"), "65535.00.4294967295");
    for (const char* bad : {"", "x.1", "1..2", "1.2.3.4.5", "70000.1"}) EXPECT_EQ(text(bad), "none") << bad;
}

TEST(TextWindow, ListsWhatTheLibraryReads) {
    TextWindow textWindow;
    const QString text = textWindow.formatsText->toPlainText();
    EXPECT_TRUE(textWindow.formatsText->isReadOnly());
    EXPECT_TRUE(text.contains("Currently supports the following Extended  Bitmap Formats"));
    for (int32_t n = 1; n <= _Pic_Count(); ++n) {
        const QString line = QString::fromUtf8(_Pic_Description(n)) + " (" + QString::fromUtf8(_Pic_Extension(n)) + ")";
        EXPECT_TRUE(text.contains(line)) << line.toStdString();
    }
    // After the last format, the line about the further library files.
    const QString last = QString::fromUtf8(_Pic_Description(_Pic_Count())) + " (" +
                         QString::fromUtf8(_Pic_Extension(_Pic_Count())) + ")";
    EXPECT_TRUE(text.contains(last + "\nIf the full set of library files is installed, Tiff and Png as well\n"));
}

TEST(TextWindow, MoreShowsTheAboutBoxThenBothClose) {
    TextWindow textWindow;
    AboutBox about;
    textWindow.setAboutBox(&about);
    QString shownText;
    QTimer::singleShot(0, &textWindow, [&] {
        QTimer::singleShot(0, &about, [&] {
            shownText = about.programLabel->text();
            EXPECT_TRUE(about.isVisible());
            QTest::mouseClick(about.closeButton, Qt::LeftButton);
        });
        QTest::mouseClick(textWindow.moreButton, Qt::LeftButton);
    });
    EXPECT_EQ(textWindow.exec(), QDialog::Accepted);
    EXPECT_EQ(shownText, "\n\nCorvane\n\nExtended Bitmap Tool");
    EXPECT_FALSE(about.isVisible());
}

// The versions the build system found for the packages; the box asks the
// loaded libraries themselves.
TEST(AboutBox, ListsTheVersionsOfWhatTheProgramLoads) {
    AboutBox about;
    about.show();
    EXPECT_TRUE(QRegularExpression("^Version \\d+\\.00\\.\\d+$").match(about.versionLabel->text()).hasMatch())
        << about.versionLabel->text().toStdString();
    const QString program = QStringLiteral(CORVANE_PROJECT_VERSION);
    const QString ours =
        program.section(u'.', 0, 0) + ".00." + QString::number(program.section(u'.', 2, 2).toUInt() << 16);
    EXPECT_EQ(about.versionFields[0]->text(), ours);
    EXPECT_EQ(about.versionFields[1]->text(), ours);  // built from the same tree
    EXPECT_TRUE(about.versionFields[2]->text().startsWith(QStringLiteral(CORVANE_MAGICK_VERSION) + "-"))
        << about.versionFields[2]->text().toStdString();
    EXPECT_EQ(about.versionFields[3]->text(), CORVANE_LIQ_VERSION);
    EXPECT_EQ(about.versionFields[4]->text(), CORVANE_QT_VERSION);
    about.hide();
}

TEST(LargeWindow, ClosingOnlyHidesItAndKeepsItsPlace) {
    LargeWindowGeometry kept;
    LargeLevelWindow largeWindow;
    largeWindow.keepGeometryIn(&kept);
    largeWindow.applyGeometry({50, 60, 300, 200});
    largeWindow.show();
    largeWindow.move(70, 80);
    EXPECT_TRUE(largeWindow.close());
    EXPECT_TRUE(largeWindow.isHidden());
    EXPECT_EQ(kept.left, 70);
    EXPECT_EQ(kept.width, 300);

    QSignalSpy edits(&largeWindow, &LargeLevelWindow::editRequested);
    largeWindow.show();
    QTest::mouseDClick(largeWindow.view, Qt::LeftButton, {}, QPoint(10, 10));
    ASSERT_EQ(edits.size(), 1);
    EXPECT_EQ(edits[0][0].toInt(), 0);
}
