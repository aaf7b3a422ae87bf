#include "anyimage.h"

#include "qtprint.h"

#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using corvane::AnyImage;

namespace {

// The fake library beside the test program logs every load, unload and call.
const QString kFake = QStringLiteral("fakequorimg");

int progressCalls = 0;

class AnyImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(scratch.isValid());
        qputenv("TEMP", QFile::encodeName(scratch.path()));
        qputenv("FAKEQUORIMG_LOG", QFile::encodeName(scratch.filePath("library.log")));
    }
    void TearDown() override {
        qunsetenv("TEMP");
        qunsetenv("FAKEQUORIMG_LOG");
    }

    // A view that reports its error boxes here instead of showing them.
    AnyImage* makeView(QWidget* parent, const QString& library = kFake) {
        auto* view = new AnyImage(parent, library);
        view->setMessageHook([this](const QString& title, const QString& text) { messages << title + ": " + text; });
        return view;
    }

    // A BMP file of the given size under any name: the fake converts anything that is one.
    QString bmp(const QString& name, QSize size) {
        QImage image(size, QImage::Format_RGB32);
        image.fill(Qt::red);
        const QString path = scratch.filePath(name);
        EXPECT_TRUE(image.save(path, "BMP"));
        return path;
    }

    QStringList log() const {
        QFile file(scratch.filePath("library.log"));
        if (!file.open(QIODevice::ReadOnly)) return {};
        return QString::fromLocal8Bit(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    }
    qsizetype count(const QString& prefix) const {
        qsizetype n = 0;
        for (const QString& line : log()) n += line == prefix || line.startsWith(prefix + u' ');
        return n;
    }
    QString lastConversion() const {
        const QStringList lines = log().filter(QRegularExpression("^(tru|256) "));
        return lines.isEmpty() ? QString() : lines.last();
    }

    QTemporaryDir scratch;
    QStringList messages;
};

TEST_F(AnyImageTest, OnlyANewNameLoads) {
    std::unique_ptr<AnyImage> view(makeView(nullptr));
    const QString a = bmp("a.bmp", {64, 64});
    view->setFileName(a);
    EXPECT_EQ(view->picture().size(), QSize(64, 64));
    const qsizetype lines = log().size();

    view->setFileName(a);
    EXPECT_EQ(log().size(), lines);  // the library is not even loaded

    // The refresh idiom: an empty name goes through the library and keeps the picture.
    view->setFileName("");
    EXPECT_TRUE(log().contains("valid "));
    EXPECT_EQ(view->picture().size(), QSize(64, 64));
    view->setFileName(a);
    EXPECT_EQ(count("valid"), 3);
    EXPECT_EQ(count("tru"), 2);
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(AnyImageTest, ConvertsThroughATemporaryFileThatIsRemoved) {
    std::unique_ptr<AnyImage> view(makeView(nullptr));
    progressCalls = 0;
    view->setProgressRoutine([](int32_t, int32_t) { ++progressCalls; });

    EXPECT_TRUE(view->tempDir().startsWith(scratch.path() + "/corvane-"));
    view->setFileName(bmp("plane.pcx", {32, 16}));
    const QString temporary = view->tempDir() + "xplane.bmp";
    EXPECT_EQ(lastConversion(), "tru " + scratch.filePath("plane.pcx") + " -> " + temporary + " pcd=3 jpeg=0");
    EXPECT_FALSE(QFile::exists(temporary));
    EXPECT_EQ(view->picture().size(), QSize(32, 16));
    EXPECT_EQ(progressCalls, 1);
    const auto others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
                        QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    EXPECT_EQ(QFile::permissions(view->tempDir()) & others, 0);

    view->setFileName(bmp("noext", {8, 8}));
    EXPECT_TRUE(lastConversion().contains("-> " + view->tempDir() + "xnoext.bmp "));

    // A failed conversion leaves the picture and no temporary file.
    QFile junk(scratch.filePath("junk.gif"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("GIF89a");
    junk.close();
    view->setFileName(junk.fileName());
    EXPECT_TRUE(lastConversion().startsWith("tru " + junk.fileName()));
    EXPECT_EQ(view->picture().size(), QSize(8, 8));
    EXPECT_FALSE(QFile::exists(view->tempDir() + "xjunk.bmp"));
}

TEST_F(AnyImageTest, ScalesReloadOnlyFilesOfTheirFormat) {
    std::unique_ptr<AnyImage> view(makeView(nullptr));
    view->setFileName(bmp("photo.jpeg", {8, 8}));
    view->setJpegScale(AnyImage::jsHalf);
    EXPECT_EQ(count("tru"), 1);

    view->setFileName(bmp("photo.Jpg", {8, 8}));
    EXPECT_TRUE(lastConversion().endsWith("jpeg=1"));
    view->setJpegScale(5);
    EXPECT_EQ(view->jpegScale(), AnyImage::jsQuarter);
    EXPECT_TRUE(lastConversion().endsWith("jpeg=2"));
    view->setPcdSize(AnyImage::p192x128);  // not a PhotoCD file
    EXPECT_EQ(count("tru"), 3);

    view->setJpegScale(-1);
    EXPECT_EQ(view->jpegScale(), AnyImage::jsFull);
    view->setFileName(bmp("disc.pcd", {8, 8}));
    view->setPcdSize(1);
    EXPECT_TRUE(lastConversion().endsWith("pcd=2 jpeg=0"));

    view->setTruColor(false);
    EXPECT_TRUE(lastConversion().startsWith("256 " + scratch.filePath("disc.pcd")));
}

TEST_F(AnyImageTest, IconsBypassTheLibrary) {
    QImage icon(32, 16, QImage::Format_ARGB32);
    icon.fill(Qt::blue);
    ASSERT_TRUE(icon.save(scratch.filePath("logo.ico"), "ICO"));

    std::unique_ptr<AnyImage> view(makeView(nullptr, "nosuchlibrary"));
    view->setGeometry(0, 0, 100, 100);
    view->setFileName(scratch.filePath("logo.ico"));
    EXPECT_EQ(view->picture().size(), QSize(32, 16));
    EXPECT_EQ(view->geometry(), QRect(0, 0, 100, 100));  // not fitted
    view->setFileName(scratch.filePath("chart.EMF"));    // unreadable here: picture stays
    EXPECT_EQ(view->picture().size(), QSize(32, 16));
    EXPECT_TRUE(messages.isEmpty());

    view->setFileName(bmp("image.bmp", {8, 8}));
    EXPECT_EQ(messages, QStringList{"AnyImage: Cannot find libnosuchlibrary.so"});
    EXPECT_EQ(view->picture().size(), QSize(32, 16));
}

TEST_F(AnyImageTest, MissingRoutineIsReported) {
    std::unique_ptr<AnyImage> view(makeView(nullptr, "fakequorimg_novalid"));
    view->setFileName(bmp("a.bmp", {8, 8}));
    EXPECT_EQ(messages, QStringList{"QuorImg: Cannot find Routine"});
    EXPECT_TRUE(view->picture().isNull());
    EXPECT_FALSE(view->libraryLoaded());
    EXPECT_EQ(log(), (QStringList{"load", "unload"}));
}

TEST_F(AnyImageTest, FitsToThePictureAndCentres) {
    QWidget parent;
    parent.resize(300, 300);
    AnyImage* wide = makeView(&parent);
    wide->setGeometry(0, 0, 100, 100);
    wide->setFileName(bmp("wide.bmp", {200, 100}));
    EXPECT_EQ(wide->geometry(), QRect(100, 125, 100, 50));

    AnyImage* tall = makeView(&parent);
    tall->setGeometry(0, 0, 100, 100);
    tall->setFileName(bmp("tall.bmp", {100, 200}));
    EXPECT_EQ(tall->geometry(), QRect(125, 100, 50, 100));

    AnyImage* inPlace = makeView(&parent);
    inPlace->setCenterOnParent(false);
    inPlace->setGeometry(10, 20, 100, 100);
    inPlace->setFileName(scratch.filePath("wide.bmp"));
    EXPECT_EQ(inPlace->geometry(), QRect(10, 20, 100, 50));

    // A dimension that fills the parent keeps its coordinate.
    AnyImage* full = makeView(&parent);
    full->setGeometry(7, 9, 300, 300);
    full->setFileName(scratch.filePath("wide.bmp"));
    EXPECT_EQ(full->geometry(), QRect(7, 75, 300, 150));
}

TEST_F(AnyImageTest, AutoFlushDecidesWhenTheLibraryIsUnloaded) {
    std::unique_ptr<AnyImage> view(makeView(nullptr));
    view->setFileName(bmp("first.bmp", {8, 8}));
    EXPECT_FALSE(view->libraryLoaded());
    EXPECT_EQ(count("unload"), 1);

    view->setAutoFlush(false);
    for (const char* name : {"a.bmp", "b.bmp", "c.bmp"}) view->setFileName(bmp(name, {8, 8}));
    EXPECT_EQ(count("load"), 2);  // once for the first file, once for the three
    EXPECT_TRUE(view->libraryLoaded());

    view->setAutoFlush(false);
    EXPECT_FALSE(view->libraryLoaded());
    EXPECT_EQ(count("unload"), 2);
}

}  // namespace
