// Other programs' readers of pictures, for tests that judge what Corvane
// writes by someone else's decoding: ImageMagick (Magick++) and
// OpenImageIO's oiiotool.
#pragma once

#include "testsets.h"

#include <Magick++.h>

#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace corvane::testing {

using Levels = std::vector<Bytes>;  // largest first, RGBA, top row first

inline void initMagick() {
    static const bool once = [] {
        Magick::InitializeMagick(nullptr);
        return true;
    }();
    (void)once;
}

// Any picture ImageMagick reads, as RGBA top row first.
inline Bytes magickRgba(const std::string& file, int& width, int& height) {
    initMagick();
    Magick::Image image;
    image.read(file);
    width = int(image.columns());
    height = int(image.rows());
    Bytes rgba(size_t(width) * size_t(height) * 4);
    image.write(0, 0, size_t(width), size_t(height), "RGBA", Magick::CharPixel, rgba.data());
    return rgba;
}

inline QString oiiotool() { return QStandardPaths::findExecutable("oiiotool"); }

inline QString run(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    p.waitForFinished(-1);
    return QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
}

// The first `count` mips of a DDS file as OpenImageIO decodes them, in one
// run.  Colour and alpha come out as pictures of their own: written with
// its alpha, the colour would be divided by it on the way out.
inline Levels oiioMips(const QString& dds, int count, const QString& scratch) {
    QStringList args;
    for (int mip = 0; mip < count; ++mip)
        args << dds << "--selectmip" << QString::number(mip) << "-d"
             << "uint8"
             << "--dup"
             << "--ch"
             << "R,G,B"
             << "-o" << scratch + QStringLiteral("/mip%1.ppm").arg(mip) << "--pop"
             << "--ch"
             << "A"
             << "-o" << scratch + QStringLiteral("/mip%1.pgm").arg(mip) << "--pop";
    run(oiiotool(), args);
    Levels levels;
    for (int mip = 0; mip < count; ++mip) {
        int w = 0, h = 0, wa = 0;
        Bytes rgba = magickRgba((scratch + QStringLiteral("/mip%1.ppm").arg(mip)).toStdString(), w, h);
        const Bytes a = magickRgba((scratch + QStringLiteral("/mip%1.pgm").arg(mip)).toStdString(), wa, h);
        for (size_t i = 3; i < rgba.size() && i < a.size(); i += 4) rgba[i] = a[i - 3];
        levels.push_back(std::move(rgba));
    }
    return levels;
}

// Debian's python3 with Pillow (an interpreter of a user's own may stand
// first on PATH), or empty.
inline QString pillowPython() {
    static const bool present = QProcess::execute("/usr/bin/python3", {"-c", "import PIL"}) == 0;
    return present ? QStringLiteral("/usr/bin/python3") : QString();
}

// The largest mip of a DDS file as Pillow decodes it, RGBA; empty when it
// does not.
inline Bytes pillowRgba(const QString& dds) {
    QProcess p;
    p.start(pillowPython(), {"-c",
                             "import sys; from PIL import Image; im = Image.open(sys.argv[1]); im.load(); "
                             "sys.stdout.buffer.write(im.convert('RGBA').tobytes())",
                             dds});
    p.waitForFinished(-1);
    const QByteArray out = p.readAllStandardOutput();
    return p.exitCode() == 0 ? Bytes(out.begin(), out.end()) : Bytes{};
}

// The largest difference between two pictures' bytes; 256 when their sizes differ.
inline int worstDifference(const Bytes& a, const Bytes& b) {
    int worst = a.size() == b.size() ? 0 : 256;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
    return worst;
}

}  // namespace corvane::testing
