// The built program, run the way the texture tool runner runs it: an
// argument list, no shell.
#include "sources.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace xbmtest;

namespace {

struct Outcome {
    int exitCode = -1;
    std::string out, err;
};

Outcome runTool(const QStringList& args) {
    QProcess process;
    process.start(QStringLiteral(XBMTOOL_PATH), args);
    Outcome run;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) return run;
    run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput().toStdString();
    run.err = process.readAllStandardError().toStdString();
    return run;
}

class ToolRun : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("etemp.bmp"));

    void put(const Bytes& bytes) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
    }
    Bytes file() const {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) return {};
        const QByteArray a = f.readAll();
        return Bytes(a.begin(), a.end());
    }
    QStringList leftovers() const { return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden); }
};

TEST_F(ToolRun, TakesTheRunnersCommandLines) {
    struct Case {
        QStringList options;
        int bits;
        uint8_t redMaskHigh;
    };
    const Case cases[] = {
        {{"-565", "-b", "-e", "bmp"}, 16, 0xF8},
        {{"-4444", "-e", "bmp"}, 16, 0x0F},
        {{"-now", "-32", "-b", "-e", "bmp"}, 32, 0},
        {{"-8", "-alpha", "-verify", "-e", "bmp"}, 8, 0},
        {{"-8", "-e", "bmp"}, 8, 0},
    };
    for (const Case& c : cases) {
        put(makeSource(Form::Argb4444, 64));
        const Outcome run = runTool(c.options + QStringList{path});
        EXPECT_EQ(run.exitCode, 0) << c.options.join(' ').toStdString() << ": " << run.err;
        const Bytes out = file();
        EXPECT_EQ(read16(out, kBitsAt), c.bits);
        if (c.bits == 16) {
            EXPECT_EQ(out[55], c.redMaskHigh);
        }
        EXPECT_EQ(read32(out, kFileSizeAt), out.size());
        EXPECT_EQ(leftovers(), QStringList{"etemp.bmp"});
    }
}

TEST_F(ToolRun, EightBitsKeepAlphaAsTransparencyLevels) {
    // Bands across every level of a 32-bit set: fully transparent red,
    // half-transparent green, opaque blue (twice as wide).
    const int edge = 32;
    Bytes source = makeSource(Form::Bgra32, edge);
    const auto band = [](int x, int e) { return std::min(x * 4 / e, 2); };
    for (int e = edge; e >= 1; e /= 2)
        for (int i = 0; i < e * e; ++i) {
            uint8_t* p = source.data() + levelStart(edge, e, 4, 54) + 4 * i;
            const uint8_t colours[3][4] = {{0, 0, 255, 0}, {0, 255, 0, 128}, {255, 0, 0, 255}};
            std::copy_n(colours[band(i % e, e)], 4, p);
        }
    // With or without -alpha, the same file.
    Bytes written[2];
    const QStringList options[2] = {{"-8"}, {"-8", "-alpha"}};
    for (int k = 0; k < 2; ++k) {
        put(source);
        const Outcome run = runTool(options[k] + QStringList{path});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        written[k] = file();
    }
    EXPECT_EQ(written[0], written[1]);
    for (int e = edge; e >= 4; e /= 2)
        for (int y = 0; y < e; ++y)
            for (int x = 0; x < e; ++x) {
                const Rgba got = pixelOf(written[0], corvane::SetDepth::Palette8, edge, e, x, y);
                switch (band(x, e)) {
                    case 0:
                        ASSERT_EQ(got.a, 0) << e << " " << x;
                        break;
                    case 1:
                        ASSERT_NEAR(got.a, 128, 4) << e << " " << x;
                        ASSERT_NEAR(got.g, 255, 4) << e << " " << x;
                        break;
                    default:
                        ASSERT_TRUE(got.a == 255 && got.b == 255 && got.r == 0) << e << " " << x;
                }
            }
}

TEST_F(ToolRun, FailuresLeaveTheFileAsItWas) {
    Bytes garbage(3000);
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = uint8_t(i * 13 + 1);
    garbage[0] = 'B';
    garbage[1] = 'M';
    put(garbage);
    const Outcome refused = runTool({"-565", "-b", "-e", "bmp", path});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;

    put(makeSource(Form::Rgb565, 16));
    const Bytes source = file();
    const QStringList usageErrors[] = {
        {"-565", "-x", path}, {"-565", "-e", "png", path}, {"-e", "bmp", path}, {"-565", "-32", path}, {"-565"},
        {"-565", path, path}};
    for (const QStringList& args : usageErrors) EXPECT_EQ(runTool(args).exitCode, 2) << args.join(' ').toStdString();
    EXPECT_EQ(file(), source);
    EXPECT_EQ(leftovers(), QStringList{"etemp.bmp"});
}

TEST_F(ToolRun, DescribesAFileAndItsLevels) {
    Bytes source = makeSource(Form::Pal8Record, 8);
    source.resize(source.size() - 3);  // the 2 level loses a byte, the 1 level is gone
    put(source);
    const Outcome info = runTool({"--info", path});
    EXPECT_EQ(info.exitCode, 0);
    for (const char* line :
         {"variant: 8-bit palette", "header length: 1098",
          "record: yes, tag \"AVTX\", length 20, data 1 2 3 4 5 6 8 0 250 9 10 11", "level 8: offset 1098, complete",
          "level 4: offset 1162, complete", "level 2: offset 1178, missing", "level 1: offset 1182, missing"})
        EXPECT_NE(info.out.find(line), std::string::npos) << line << "\n" << info.out;
    EXPECT_EQ(runTool({"--help"}).exitCode, 0);
}

TEST_F(ToolRun, KeepsTheFilesPermissions) {
    put(makeSource(Form::Bgra32, 4));
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
    ASSERT_EQ(runTool({"-565", path}).exitCode, 0);
    const QFile::Permissions ownerGroupOther(0x7077);
    EXPECT_EQ(QFile::permissions(path) & ownerGroupOther, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
}

// A link named on the line stands for its file: the file is rewritten at the
// depth asked for, and the link still leads to it.
TEST_F(ToolRun, ALinkStandsForTheFileItLeadsTo) {
    put(makeSource(Form::Bgra32, 4));
    const QString link = dir.filePath(QStringLiteral("link.bmp"));
    ASSERT_TRUE(QFile::link(path, link));
    ASSERT_EQ(runTool({"-565", link}).exitCode, 0);
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), QFileInfo(path).absoluteFilePath());
    const Bytes converted = file();
    ASSERT_GT(converted.size(), 28u);
    EXPECT_EQ(converted[28], 16);  // bits per pixel of the information header
    EXPECT_EQ(leftovers(), QStringList({"etemp.bmp", "link.bmp"}));
}

}  // namespace
