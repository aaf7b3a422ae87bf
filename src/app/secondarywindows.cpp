#include "secondarywindows.h"

#include "anyimage.h"
#include "exebuttn.h"
#include "mbutton.h"
#include "quorimg.h"
#include "zoomview.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFrame>
#include <QGuiApplication>
#include <QHideEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

#ifndef CORVANE_VERSION
#define CORVANE_VERSION "0.0.0"
#endif

namespace {

const char* const kMaker = "Quor";
const char* const kMakerSite = "https://www.quor.example/corvane/";
const char* const kContact = "mailto:corvane@quor.example";

QLabel* label(QWidget* parent, const QString& text, const QRect& bounds, Qt::Alignment align = Qt::AlignLeft) {
    auto* l = new QLabel(text, parent);
    l->setGeometry(bounds);
    l->setAlignment(align | Qt::AlignVCenter);
    l->setWordWrap(true);
    return l;
}

// A small picture for a bitmap button, drawn rather than shipped.
QPixmap buttonPicture(bool envelope) {
    QPixmap pixmap(33, 25);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(40, 60, 120), 1.5));
    if (envelope) {
        p.setBrush(QColor(250, 245, 225));
        p.drawRect(QRectF(3.5, 4.5, 26, 16));
        p.drawPolyline(QPolygonF({{3.5, 4.5}, {16.5, 14.5}, {29.5, 4.5}}));
    } else {
        // A globe: the maker's web site.
        p.setBrush(QColor(150, 200, 245));
        p.drawEllipse(QRectF(5.5, 1.5, 22, 22));
        p.drawEllipse(QRectF(12.5, 1.5, 8, 22));
        p.drawLine(QPointF(5.5, 12.5), QPointF(27.5, 12.5));
    }
    return pixmap;
}

}  // namespace

namespace corvane {

std::optional<ProductVersion> parseVersion(const QString& dotted) {
    const QStringList parts = dotted.trimmed().split(u'.');
    if (parts.isEmpty() || parts.size() > 4) return std::nullopt;
    uint32_t n[4] = {0, 0, 0, 0};
    for (qsizetype i = 0; i < parts.size(); ++i) {
        bool ok = false;
        const uint value = parts[i].toUInt(&ok);
        if (!ok || value > 0xFFFF) return std::nullopt;
        n[i] = value;
    }
    return ProductVersion{n[0] << 16 | n[1], n[2] << 16 | n[3]};
}

QString versionText(const ProductVersion& version) {
    return QString::number(version.mostSignificant >> 16) + ".00." + QString::number(version.leastSignificant);
}

QStringList supportedPictureFormats(const PictureFormatTable& formats) {
    const auto text = [](const char* s) { return s ? QString::fromUtf8(s) : QString(); };
    QStringList lines;
    const int32_t count = formats.count();
    for (int32_t n = 1; n <= count; ++n)
        lines << text(formats.description(n)) + " (" + text(formats.extension(n)) + ")";
    return lines;
}

QString aboutText(const QStringList& pictureFormats) {
    QString t;
    t += "Corvane Extended Bitmap Utility\n";
    t += QStringLiteral("Copyright (C) 2026 %1 and the Corvane authors\n\n").arg(QLatin1String(kMaker));
    t += "Currently supports the following Extended  Bitmap Formats\n";
    for (const char* form : {"CFS 8 bit", "Aviant 8 bit", "8 bit AVTX", "16 bit (5-6-5) AVTX",
                             "16 bit (4-4-4) Transparency Preserved", "32 bit (8-8-8)"})
        t += QStringLiteral("    %1\n").arg(QLatin1String(form));
    t += "\nLargest Base Size Supported 512x512\n\n";
    t += "Not yet fully supported:\n    Non-Square Bitmaps\n    any as-yet undiscovered variants\n\n";
    t += "Supported Formats for \"Load Any Image\" with " + AnyImage::libraryFileName("quorimg") + ":\n";
    for (const QString& format : pictureFormats) t += "    " + format + "\n";
    t += "If the full set of library files is installed, Tiff and Png as well\n";
    t += "\nThis program is provided as it is, without any warranty. Always keep a copy of a texture "
         "before you change it.\n\n";
    t += "Corvane is built with Qt, ImageMagick, libimagequant and stb_image_resize; our thanks to their "
         "authors.\n\n";
    t += "Corvane is free software under the GNU General Public License, version 3 or later.\n\n";
    t += QStringLiteral("Contact: %1\nUpdates are published at %2\n")
             .arg(QString::fromLatin1(kContact).mid(7), QLatin1String(kMakerSite));
    return t;
}

QPixmap programPicture(int size) {
    // The chain of levels, each half the one before.
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    const QColor colours[] = {{40, 90, 170}, {60, 150, 90}, {220, 160, 40}, {200, 60, 50}};
    double edge = size * 0.48;
    double x = size * 0.03;
    for (const QColor& colour : colours) {
        const QRectF square(x, size * 0.75 - edge, edge, edge);
        p.fillRect(square, colour);
        p.setPen(QPen(colour.darker(160), std::max(1.0, size / 50.0)));
        p.drawRect(square);
        x += edge + size * 0.015;
        edge /= 2;
    }
    return pixmap;
}

// ---------------------------------------------------------------------------
// The text window

TextWindow::TextWindow(QWidget* parent, const QStringList& pictureFormats) : QDialog(parent) {
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("About Corvane"));
    setFixedSize(393, 285);

    auto* panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("Panel1"));
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel->setGeometry(rect());

    formatsText = new QPlainTextEdit(panel);
    formatsText->setObjectName(QStringLiteral("Memo1"));
    formatsText->setGeometry(1, 1, 391, 240);
    formatsText->setReadOnly(true);
    formatsText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QPalette black = formatsText->palette();
    black.setColor(QPalette::Text, Qt::black);
    formatsText->setPalette(black);
    formatsText->setPlainText(aboutText(pictureFormats));

    okButton = new QPushButton(QStringLiteral("OK"), panel);
    okButton->setObjectName(QStringLiteral("Button1"));
    okButton->setGeometry(24, 248, 73, 25);
    okButton->setDefault(true);
    connect(okButton, &QPushButton::clicked, this, &QDialog::accept);

    moreButton = new QPushButton(QStringLiteral("More >>>"), panel);
    moreButton->setObjectName(QStringLiteral("More"));
    moreButton->setGeometry(288, 248, 81, 25);
    connect(moreButton, &QPushButton::clicked, this, &TextWindow::showMore);
}

void TextWindow::showMore() {
    if (aboutBox_) {
        aboutBox_->programText = QStringLiteral("\n\nCorvane\n\nExtended Bitmap Tool");
        aboutBox_->exec();
    }
    accept();
}

// ---------------------------------------------------------------------------
// The large window

LargeLevelWindow::LargeLevelWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("Form3"));
    // Closing the large window never ends the program.
    setAttribute(Qt::WA_QuitOnClose, false);
    move(-18, 60);
    resize(237, 151);

    zoom = new ZoomView(this);
    zoom->setObjectName(QStringLiteral("zoom"));
    zoom->setFrameShape(QFrame::NoFrame);
    zoom->viewport()->installEventFilter(this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(zoom);

    // The reader of the level's file stays out of sight; the zoom shows it.
    view = new AnyImage(this);
    view->setObjectName(QStringLiteral("AnyImage1"));
    view->setCenterOnParent(false);
    view->setGeometry(0, 0, 512, 512);
    view->hide();
    connect(view, &AnyImage::pictureChanged, this, &LargeLevelWindow::showPicture);
    connect(view, &AnyImage::doubleClicked, this, [this] { emit editRequested(levelIndex_); });
    setLevelIndex(0);
}

void LargeLevelWindow::setLevelIndex(int levelIndex) {
    levelIndex_ = std::clamp(levelIndex, 0, 9);
    const int edge = 512 >> levelIndex_;
    setWindowTitle(QStringLiteral("Corvane - %1x%1 Image").arg(edge));
}

void LargeLevelWindow::setCheckerboard(bool on) {
    view->setCheckerboard(on);
    zoom->setCheckerboard(on);
}

void LargeLevelWindow::showPicture() { zoom->setImage(view->shownLevel()); }

bool LargeLevelWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == zoom->viewport() && event->type() == QEvent::MouseButtonDblClick &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        emit editRequested(levelIndex_);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void LargeLevelWindow::applyGeometry(const LargeWindowGeometry& g) {
    move(g.left, g.top);
    resize(g.width, g.height);
}

LargeWindowGeometry LargeLevelWindow::currentGeometry() const { return {x(), y(), width(), height()}; }

void LargeLevelWindow::keepGeometry() {
    if (kept_) *kept_ = currentGeometry();
}

void LargeLevelWindow::hideEvent(QHideEvent* event) {
    // A spontaneous hide is the window being minimised; its place stands.
    if (!event->spontaneous()) keepGeometry();
    QWidget::hideEvent(event);
}

void LargeLevelWindow::closeEvent(QCloseEvent* event) {
    keepGeometry();
    // Closing only hides it; the next refresh of a 512 set shows it again.
    event->accept();
}

// ---------------------------------------------------------------------------
// The about box

const std::array<const char*, 5> AboutBox::kLibraries = {"libquorimg", "libquorimg_magick", "ImageMagick",
                                                         "libimagequant", "Qt"};

std::array<QString, 5> loadedVersions() {
    const auto dotted = [](const char* text) {
        const auto version = text ? parseVersion(QString::fromLatin1(text)) : std::nullopt;
        return version ? versionText(*version) : QString();
    };
    const auto plain = [](const char* text) { return text ? QString::fromLatin1(text) : QString(); };
    return {dotted(quorimg_version()), dotted(quorimg_part_version(QUOR_PART_DECODER)),
            plain(quorimg_part_version(QUOR_PART_MAGICK)), plain(quorimg_part_version(QUOR_PART_QUANTIZER)),
            QString::fromLatin1(qVersion())};
}

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("AboutForm"));
    setWindowTitle(QStringLiteral("About "));
    setFixedSize(407, 271);
    setWindowIcon(QIcon(programPicture(32)));
    openUrl_ = [](const QUrl& url) { return QDesktopServices::openUrl(url); };

    pages = new QTabWidget(this);
    pages->setObjectName(QStringLiteral("PageControl1"));
    pages->setGeometry(rect());

    // "Program"
    auto* program = new QWidget;
    programButton = new ExeButton(program);
    programButton->setObjectName(QStringLiteral("ExeButton1"));
    programButton->setGeometry(24, 24, 104, 40);
    programButton->setDown(true);
    programButton->setAuto(true);
    programButton->setIcon(QIcon(programPicture(32)));
    programButton->setCaption(QGuiApplication::applicationDisplayName());
    versionLabel = label(program, QString(), QRect(136, 36, 120, 16));
    versionLabel->setObjectName(QStringLiteral("Label2"));
    programLabel = label(program, QString(), QRect(8, 72, 225, 153), Qt::AlignLeft | Qt::AlignTop);
    programLabel->setObjectName(QStringLiteral("Label1"));
    programLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    pages->addTab(program, QStringLiteral("Program"));

    // The maker
    auto* maker = new QWidget;
    label(maker,
          QStringLiteral("%1 makes small tools for the people who paint and build add-on aircraft: "
                         "texture utilities, converters and viewers.\n\nVisit our web site for the others.")
              .arg(QLatin1String(kMaker)),
          QRect(8, 16, 225, 150), Qt::AlignHCenter | Qt::AlignTop)
        ->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    const auto bitmapButton = [this](QWidget* page, const char* name, QPoint at, bool envelope, const QString& hint,
                                     void (AboutBox::*handler)()) {
        auto* b = new MButton(page);
        b->setObjectName(QString::fromLatin1(name));
        b->setGeometry(at.x(), at.y(), 49, 41);
        b->setBorder(false);
        b->setStretch(false);
        b->setBitmap(buttonPicture(envelope));
        b->setToolTip(hint);
        connect(b, &MButton::clicked, this, handler);
        return b;
    };
    const QString visit = QStringLiteral("Visit the %1 web site").arg(QLatin1String(kMaker));
    siteButton = bitmapButton(maker, "MButton3", {56, 184}, false, visit, &AboutBox::visitWebSite);
    contactButton =
        bitmapButton(maker, "MButton2", {112, 184}, true, QStringLiteral("Contact"), &AboutBox::writeToMaker);
    pages->addTab(maker, QString::fromLatin1(kMaker));

    // "DLLs"
    auto* libraries = new QWidget;
    label(libraries,
          QStringLiteral("%1 programs need its image library files. This build works with:").arg(QLatin1String(kMaker)),
          QRect(8, 8, 225, 40), Qt::AlignLeft | Qt::AlignTop);
    for (size_t i = 0; i < kLibraries.size(); ++i) {
        const int top = 56 + 24 * int(i);
        label(libraries, QString::fromLatin1(kLibraries[i]), QRect(0, top, 106, 21), Qt::AlignRight)
            ->setWordWrap(false);
        auto* field = new QLineEdit(QStringLiteral("Not Found"), libraries);
        field->setObjectName(QStringLiteral("Edit%1").arg(i + 1));
        field->setGeometry(112, top, 73, 21);
        versionFields[i] = field;
    }
    label(libraries, QStringLiteral("Newer files may be on our web site:"), QRect(8, 176, 225, 16));
    librariesSiteButton = bitmapButton(libraries, "MButton4", {16, 192}, false, visit, &AboutBox::visitWebSite);
    pages->addTab(libraries, QStringLiteral("DLLs"));

    // "Copyrights": the user may type here; nothing is kept.
    copyrights = new QPlainTextEdit;
    copyrights->setObjectName(QStringLiteral("Copyrights"));
    copyrights->setPlainText(
        QStringLiteral(
            "Corvane\nCopyright (C) 2026 %1 and the Corvane authors.\n\n"
            "This program is free software: you can redistribute it and/or modify it under the terms of the "
            "GNU General Public License as published by the Free Software Foundation, either version 3 of the "
            "License, or (at your option) any later version.\n\n"
            "It is distributed in the hope that it will be useful, but WITHOUT ANY WARRANTY; without even the "
            "implied warranty of MERCHANTABILITY or FITNESS FOR A PARTICULAR PURPOSE.\n\n"
            "Qt is used under the GNU LGPL version 3. ImageMagick is used under its own licence. "
            "libimagequant is used under the GNU GPL version 3. stb_image_resize is in the public domain.")
            .arg(QLatin1String(kMaker)));
    pages->addTab(copyrights, QStringLiteral("Copyrights"));

    logo = new MButton(this);
    logo->setObjectName(QStringLiteral("MButton1"));
    logo->setGeometry(248, 56, 145, 145);
    logo->setBorder(false);
    logo->setStretch(false);
    logo->setBitmap(programPicture(140));

    closeButton = new QPushButton(QStringLiteral("Close"), this);
    closeButton->setObjectName(QStringLiteral("Button1"));
    closeButton->setGeometry(272, 224, 105, 25);
    connect(closeButton, &QPushButton::clicked, this, &QDialog::accept);
}

void AboutBox::showEvent(QShowEvent* event) {
    if (!event->spontaneous()) {
        if (const QScreen* s = screen()) move(centredOver(s->availableGeometry(), frameGeometry().size()));
        readVersions();
    }
    QDialog::showEvent(event);
}

void AboutBox::readVersions() {
    if (const auto version = parseVersion(QStringLiteral(CORVANE_VERSION)))
        versionLabel->setText("Version " + versionText(*version));
    programLabel->setText(programText);
    const std::array<QString, 5> versions = loadedVersions();
    for (size_t i = 0; i < kLibraries.size(); ++i)
        versionFields[i]->setText(versions[i].isEmpty() ? QStringLiteral("Not Found") : versions[i]);
}

void AboutBox::visitWebSite() {
    openUrl_(QUrl(QString::fromLatin1(kMakerSite)));
    accept();
}

void AboutBox::writeToMaker() {
    openUrl_(QUrl(QString::fromLatin1(kContact)));
    accept();
}

}  // namespace corvane
