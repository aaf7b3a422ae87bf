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
    TextWindow form2;
    const QString text = form2.formatsText->toPlainText();
    EXPECT_TRUE(form2.formatsText->isReadOnly());
    EXPECT_TRUE(text.contains("Currently supports the following Extended  Bitmap Formats"));
    for (int32_t n = 1; n <= _Pic_Count(); ++n) {
        const QString line = QString::fromUtf8(_Pic_Description(n)) + " (" + QString::fromUtf8(_Pic_Extension(n)) + ")";
        EXPECT_TRUE(text.contains(line)) << line.toStdString();
    }
}

TEST(TextWindow, MoreShowsTheAboutBoxThenBothClose) {
    TextWindow form2;
    AboutBox about;
    form2.setAboutBox(&about);
    QString shownText;
    QTimer::singleShot(0, &form2, [&] {
        QTimer::singleShot(0, &about, [&] {
            shownText = about.programLabel->text();
            EXPECT_TRUE(about.isVisible());
            QTest::mouseClick(about.closeButton, Qt::LeftButton);
        });
        QTest::mouseClick(form2.moreButton, Qt::LeftButton);
    });
    EXPECT_EQ(form2.exec(), QDialog::Accepted);
    EXPECT_EQ(shownText, "\n\nCorvane\n\nExtended Bitmap Tool");
    EXPECT_FALSE(about.isVisible());
}

TEST(AboutBox, ReadsEveryVersionEachTimeItIsShown) {
    QTemporaryDir folder;
    AboutBox about;
    about.setLibraryFolder(folder.path());
    about.show();
    EXPECT_TRUE(QRegularExpression("^Version \\d+\\.00\\.\\d+$").match(about.versionLabel->text()).hasMatch())
        << about.versionLabel->text().toStdString();
    // Our own library is loaded by the program already, so the search finds it.
    EXPECT_EQ(about.versionFields[0]->text(), versionText(*parseVersion(quorimg_version())));
    for (size_t i = 1; i < about.versionFields.size(); ++i) EXPECT_EQ(about.versionFields[i]->text(), "Not Found");

    // A library file installed while the box is closed shows the next time.
    about.hide();
    ASSERT_TRUE(
        QFile::copy(QStringLiteral(CORVANE_VERSION_LIBRARY), folder.filePath(TAnyImage::libraryFileName("quorpng"))));
    about.show();
    EXPECT_EQ(about.versionFields[2]->text(), "2.00.7");
    EXPECT_EQ(about.versionFields[3]->text(), "Not Found");
    about.hide();
}

TEST(LargeWindow, ClosingOnlyHidesItAndKeepsItsPlace) {
    LargeWindowGeometry kept;
    LargeLevelWindow form3;
    form3.keepGeometryIn(&kept);
    form3.applyGeometry({50, 60, 300, 200});
    form3.show();
    form3.move(70, 80);
    EXPECT_TRUE(form3.close());
    EXPECT_TRUE(form3.isHidden());
    EXPECT_EQ(kept.left, 70);
    EXPECT_EQ(kept.width, 300);

    QSignalSpy edits(&form3, &LargeLevelWindow::editRequested);
    form3.show();
    QTest::mouseDClick(form3.view, Qt::LeftButton, {}, QPoint(10, 10));
    ASSERT_EQ(edits.size(), 1);
    EXPECT_EQ(edits[0][0].toInt(), 0);
}
