// Saves beside their destination: temporary names that fit any file name,
// leftovers of writers that died, and the verdict on a file once in place.
#include "testsets.h"

#include "committer.h"
#include "fileaccess.h"
#include "setcommands.h"
#include "files.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QStringDecoder>

#include <random>
#include <set>
#include <string>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace corvane;
using namespace corvane::testing;

namespace {

std::set<std::string> everythingIn(const QString& folder) {
    std::set<std::string> names;
    for (const QString& name :
         QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        names.insert(QFile::encodeName(name).toStdString());
    return names;
}

std::set<std::string> namesOf(const QStringList& list) {
    std::set<std::string> names;
    for (const QString& name : list) names.insert(QFile::encodeName(name).toStdString());
    return names;
}

// The id of a process that has ended.
long endedProcess() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return long(child);
}

}  // namespace

// File systems allow 255 bytes a name; the temporary file beside the
// destination must fit as well, whatever writes it.
TEST(Saves, NamesOfTwoHundredAndFiftyBytesSave) {
    Scratch s;
    QuorContext context{};
    QuorLibrary library(context);
    const QString source = s.path("in.bmp");
    const Bytes set = makeSet(Form::Eight, 16);
    writeBytes(source, set);
    ASSERT_TRUE(loadExtended(source, BitmapFilter, s.workspace, library, SetOptions{}).ok);
    ASSERT_TRUE(library.anyToBmp(source, s.path("short-copy.bmp")));
    ASSERT_TRUE(QDir(s.dir.path()).mkdir("copies"));

    const QString ascii = QString(246, 'n') + ".bmp";
    const QString accented = QString(123, QChar(0xE9)) + ".bmp";  // two bytes each in UTF-8
    for (const QString& name : {ascii, accented}) {
        ASSERT_EQ(QFile::encodeName(name).size(), 250);
        const CommandOutcome saved = saveSet(s.workspace, s.path(name));
        ASSERT_TRUE(saved.ok) << saved.error.toStdString();
        EXPECT_EQ(readBytes(s.path(name)), set);  // a set saves back byte for byte
        // The image library's own writer.
        const QString copy = s.path("copies/" + name);
        ASSERT_TRUE(library.anyToBmp(source, copy));
        EXPECT_EQ(readBytes(copy), readBytes(s.path("short-copy.bmp")));
    }
    // Nothing left beside them.
    EXPECT_EQ(everythingIn(s.dir.path()), namesOf({accented, "copies", "in.bmp", ascii, "short-copy.bmp", "work"}));
    EXPECT_EQ(everythingIn(s.path("copies")).size(), 2);
}

// After a writer is killed its temporary file stays; a later save into that
// folder removes exactly those: ours, of a process that has ended, plain
// files of this user.  Nothing else goes, a running writer's file least of all.
TEST(Saves, LeftoversOfEndedWritersGoAndNothingElse) {
    Scratch s;
    ASSERT_TRUE(QDir(s.dir.path()).mkpath("out"));
    const QString out = s.path("out");
    const auto at = [&](const QString& name) { return QDir(out).filePath(name); };
    const QString dead = QString::number(endedProcess());
    const QString parent = QString::number(::getppid());
    const QString self = QString::number(::getpid());

    const QStringList leftovers = {".corvane-" + dead + "-plane.bmp-AbCdEf", ".corvane-" + dead + "-a-b-c.bmp-x1Y2z3"};
    const QStringList kept = {
        ".corvane-" + parent + "-plane.bmp-AbCdEf",  // their writers are still running
        ".corvane-" + self + "-plane.bmp-AbCdEf",
        ".corvane-" + dead + "-plane.bmp-AbCdE",  // not quite our name
        ".corvane-" + dead + "-plane.bmp-AbCdEf~",  ".corvane-0" + dead + "-plane.bmp-AbCdEf",
        "corvane-" + dead + "-plane.bmp-AbCdEf",    "plane.bmp",
    };
    for (const QString& name : leftovers + kept) ASSERT_TRUE(writeBytes(at(name), {7}));
    // A link and a folder of our name, and (when we may give it away) a file of another user's.
    const QString elsewhere = s.path("elsewhere.bmp");
    writeBytes(elsewhere, {1, 2, 3});
    const QString link = ".corvane-" + dead + "-link.bmp-AbCdEf";
    const QString folder = ".corvane-" + dead + "-dir.bmp-AbCdEf";
    const QString foreign = ".corvane-" + dead + "-theirs.bmp-AbCdEf";
    ASSERT_TRUE(QFile::link(elsewhere, at(link)));
    ASSERT_TRUE(QDir(out).mkdir(folder));
    writeBytes(at(foreign), {7});
    const bool gaveAway = ::geteuid() == 0 && ::chown(QFile::encodeName(at(foreign)).constData(), 65534, 65534) == 0;

    const CommandOutcome saved = replaceFileAtomically(at("new.bmp"), makeSet(Form::Eight, 4));
    ASSERT_TRUE(saved.ok) << saved.error.toStdString();
    std::set<std::string> expected = namesOf(kept + QStringList{link, folder, "new.bmp"});
    if (gaveAway) expected.insert(foreign.toStdString());
    EXPECT_EQ(everythingIn(out), expected);
    EXPECT_EQ(readBytes(elsewhere), (Bytes{1, 2, 3}));
}

// Whichever step of a write fails, the writer that did it refuses with a
// reason naming the file, and the file that was there keeps its bytes; in two
// halves, the first refuses while the new bytes are being made and the second
// once they are to take the old file's place.
TEST(Saves, AFailedStepRefusesWithItsReasonAndKeepsTheFile) {
    Scratch s;
    ASSERT_TRUE(QDir(s.dir.path()).mkpath("out"));
    const QString target = QDir(s.path("out")).filePath("kept.bmp");
    const QString named = QStringLiteral("Cannot save kept.bmp:\n");
    const Bytes previous = {1, 2, 3};
    const Bytes next = makeSet(Form::Eight, 4);
    const struct {
        WriteStage stage;
        bool writtenHalfRefuses;
    } steps[] = {
        {WriteStage::Create, true}, {WriteStage::Write, true}, {WriteStage::Flush, false}, {WriteStage::Rename, false}};
    for (const auto& step : steps) {
        for (bool inTwoHalves : {false, true}) {
            SCOPED_TRACE(::testing::Message() << int(step.stage) << (inTwoHalves ? " in two halves" : " at once"));
            writeBytes(target, previous);
            setWriteFaultForTesting([&](WriteStage at) { return at == step.stage; });
            CommandOutcome outcome;
            if (inTwoHalves) {
                WrittenReplacement written = writeReplacement(target, next);
                EXPECT_EQ(written.file == nullptr, step.writtenHalfRefuses);
                outcome = written.file ? putReplacementInPlace(*written.file, target) : written.outcome;
            } else {
                outcome = replaceFileAtomically(target, next);
            }
            setWriteFaultForTesting({});
            EXPECT_FALSE(outcome.ok);
            EXPECT_TRUE(outcome.error.startsWith(named)) << outcome.error.toStdString();
            EXPECT_GT(outcome.error.size(), named.size());  // and says why
            EXPECT_EQ(readBytes(target), previous);
            EXPECT_EQ(everythingIn(s.path("out")), namesOf({"kept.bmp"}));
        }
    }
    EXPECT_TRUE(replaceFileAtomically(target, next).ok);
    EXPECT_EQ(readBytes(target), next);
}

// A save handed to the committer counts only once the file in place reads
// back as a whole set: header and length agree.
TEST(Committer, ASaveSucceedsOnlyWhenTheFileInPlaceIsAWholeSet) {
    Scratch s;
    const Bytes whole = makeSet(Form::Rgb565, 16);
    Bytes squashed = whole;
    layout::write32(squashed, layout::kHeightAt, 8);
    const std::vector<std::pair<QString, Bytes>> saves = {
        {"whole.bmp", whole},
        {"whole8.bmp", makeSet(Form::EightRecord, 32)},
        {"short.bmp", Bytes(whole.begin(), whole.end() - 2)},  // the 1x1 level missing
        {"long.bmp",
         [&] {
             Bytes b = whole;
             b.push_back(0);
             return b;
         }()},
        {"squashed.bmp", squashed},
        {"plain.bmp", plainBmp(16, 16, 24)},  // the largest level alone
    };
    std::vector<std::pair<bool, QString>> told(saves.size());
    {
        Committer committer;
        for (size_t i = 0; i < saves.size(); ++i) {
            const QString target = s.path(saves[i].first);
            WrittenReplacement temp = writeReplacement(target, saves[i].second);
            ASSERT_TRUE(temp.file) << temp.outcome.error.toStdString();
            committer.hand(
                std::move(temp.file), target,
                [&told, i](bool ok, const QString& problem) {
                    told[i] = {ok, problem};
                },
                savedSetProblem);
        }
        committer.finish();
    }
    for (size_t i = 0; i < saves.size(); ++i) {
        const QString& name = saves[i].first;
        EXPECT_EQ(told[i].first, name.startsWith("whole")) << name.toStdString();
        if (!told[i].first) {
            EXPECT_TRUE(told[i].second.startsWith("Cannot save " + name)) << told[i].second.toStdString();
        }
    }
}

// Every name the file system may hold comes back to its very bytes; a name
// that is UTF-8 reads as Qt's decoder reads it, any other shows each of its
// other bytes as \xHH; neither shows a control character as itself.  Every
// one- and two-byte name, and many longer ones built mostly from the bytes
// UTF-8 is made of.
TEST(Names, EveryByteStringComesBackAsItWas) {
    const auto control = [](char16_t c) { return c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0); };
    // Decoded text as a reader should see it: controls spelt out.
    const auto shown = [&](const QString& text) {
        QString out;
        for (const QChar ch : text)
            out += !control(ch.unicode()) ? QString(ch)
                   : ch.unicode() < 0x80  ? QString::asprintf("\\x%02X", unsigned(ch.unicode()))
                                          : QString::asprintf("\\u%04X", unsigned(ch.unicode()));
        return out;
    };
    std::vector<QByteArray> names;
    for (int a = 0; a < 256; ++a) {
        names.push_back(QByteArray(1, char(a)));
        for (int b = 0; b < 256; ++b) names.push_back(QByteArray{char(a), char(b)});
    }
    std::mt19937 random(30);
    const uint8_t pieces[] = {'a', '.', 0x80, 0x9F, 0xA0, 0xBF, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
    for (int i = 0; i < 200000; ++i) {
        QByteArray name(int(random() % 9) + 1, '\0');
        for (char& c : name) c = char(random() % 4 == 0 ? uint8_t(random()) : pieces[random() % std::size(pieces)]);
        names.push_back(name);
    }
    for (const QByteArray& bytes : names) {
        const QString name = nameFromNative(bytes);
        ASSERT_EQ(nativeName(name), bytes) << bytes.toHex().constData();
        QStringDecoder utf8(QStringDecoder::Utf8,
                            QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
        const QString decoded = utf8.decode(bytes);
        if (!utf8.hasError()) {
            ASSERT_EQ(name, decoded) << bytes.toHex().constData();
            ASSERT_EQ(readableName(name), shown(decoded)) << bytes.toHex().constData();
        } else {
            // Shown with no lone half of a pair and no control, so it prints as it reads.
            const QString readable = readableName(name);
            ASSERT_TRUE(readable.contains(QStringLiteral("\\x"))) << bytes.toHex().constData();
            for (qsizetype i = 0; i < readable.size(); ++i) {
                const bool paired = readable[i].isHighSurrogate()
                                        ? i + 1 < readable.size() && readable[i + 1].isLowSurrogate()
                                        : i > 0 && readable[i - 1].isHighSurrogate();
                ASSERT_TRUE(!readable[i].isSurrogate() || paired) << bytes.toHex().constData();
                ASSERT_FALSE(control(readable[i].unicode())) << bytes.toHex().constData();
            }
        }
    }
}
