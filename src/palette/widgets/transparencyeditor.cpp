#include "transparencyeditor.h"

#include "placement.h"

#include "anyimage.h"
#include "numedit.h"
#include "presets.h"
#include "transparency.h"
#include "updown.h"
#include "workspace.h"

#include <QComboBox>
#include <QFileInfo>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>

#include <algorithm>
#include <cmath>

namespace corvane {

const char* const kPaletteChangedQuestion = "Palette has been Changed and not saved\nDo you wish to Continue?";

namespace {

QColor colourOf(uint32_t value) { return QColor(int(value & 0xFF), int(value >> 8 & 0xFF), int(value >> 16 & 0xFF)); }

QLabel* label(QWidget* parent, const QString& text, const QRect& bounds, bool wrap = false) {
    auto* l = new QLabel(text, parent);
    l->setGeometry(bounds);
    l->setWordWrap(wrap);
    if (wrap) l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return l;
}

// The panel's boxes were laid out for a smaller system font than most
// desktops use; shrink a label's font until `text` fits its box (the whole
// width, and for a wrapped label the height too) rather than cut it off.
void fitFont(QLabel* l, const QString& text) {
    QFont font = l->font();
    const int flags = int(l->alignment()) | (l->wordWrap() ? int(Qt::TextWordWrap) : 0);
    const auto fits = [&] {
        const QRect needed = QFontMetrics(font).boundingRect(QRect(0, 0, l->width(), 10000), flags, text);
        return needed.width() <= l->width() && (!l->wordWrap() || needed.height() <= l->height());
    };
    // The font is given in pixels or in points; either way no smaller than
    // about 8 pixels.
    if (font.pixelSize() > 0)
        while (!fits() && font.pixelSize() > 8) font.setPixelSize(font.pixelSize() - 1);
    else
        while (!fits() && font.pointSizeF() > 6) font.setPointSizeF(font.pointSizeF() - 0.5);
    if (font != l->font()) l->setFont(font);
}

// A field for 0..255 with its arrows: Max 255, Min -1000, whole numbers only.
NumEdit* levelField(QWidget* parent, const QString& name, int top, UpDown*& arrows) {
    auto* edit = new NumEdit(parent);
    edit->setObjectName(name);
    edit->setAllowDecimal(false);
    edit->setAllowMinus(false);
    edit->setMax(255);
    edit->setMin(-1000);
    edit->setGeometry(8, top, 41, 21);
    arrows = new UpDown(parent);
    arrows->setGeometry(49, top, 15, 21);
    arrows->setRange(0, 255);
    arrows->setWrap(false);
    arrows->setThousands(false);
    arrows->setAssociate(edit);
    return edit;
}

}  // namespace

ColourBox::ColourBox(int index, QWidget* parent) : QFrame(parent), index_(index) {
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setLineWidth(1);
    setAutoFillBackground(true);
}

void ColourBox::setColour(uint32_t colour) {
    QPalette p = palette();
    p.setColor(QPalette::Window, colourOf(colour));
    setPalette(p);
}

void ColourBox::setLowered(bool lowered) { setFrameShadow(lowered ? QFrame::Sunken : QFrame::Raised); }

void ColourBox::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) emit clicked(index_);
}

TransparencyViewWindow::TransparencyViewWindow(QWidget* parent) : QWidget(parent, Qt::Tool) {
    setObjectName("TForm4");
    setWindowTitle("Transparency");
    setAttribute(Qt::WA_QuitOnClose, false);
    move(14, 41);
    setFixedSize(256, 332);
    view = new AnyImage(this);
    view->setObjectName("AnyImage1");
    view->setGeometry(0, 0, 256, 256);
}

void TransparencyViewWindow::showView(const QString& path, int level, const QWidget* beside) {
    // The window takes the level's size and the view shows the whole picture
    // at that size, whatever the level; squeezed beside the editor, less.
    QSize size(level, level);
    if (beside && !isVisible() && beside->window()->screen()) {
        const QWidget* owner = beside->window();
        // Before its first showing this window's decorations are unknown; it
        // gets the same as the editor's window.
        const QSize decorations = frameGeometry().size() != this->size()
                                      ? frameGeometry().size() - this->size()
                                      : owner->frameGeometry().size() - owner->size();
        const QRect place =
            placeBeside(owner->frameGeometry(), size + decorations, owner->screen()->availableGeometry());
        size = place.size() - decorations;
        move(place.topLeft());
    } else if (isVisible()) {
        // Already open: it stays where it is, as squeezed as it was.
        size = size.boundedTo(this->size());
    }
    level = std::min(size.width(), size.height());
    setFixedSize(level, level);
    view->setFileName(QString());
    view->setGeometry(0, 0, level, level);
    view->setStretch(true);
    view->setFileName(path);
    view->setGeometry(0, 0, level, level);
    show();
    raise();
}

TransparencyEditor::TransparencyEditor(Workspace& workspace, PaletteLevels& palette, Prompts& prompts,
                                       FileDialog& loadMapDialog, FileDialog& saveMapDialog, QWidget* parent)
    : QWidget(parent), workspace_(workspace), palette_(palette), prompts_(prompts), loadMapDialog_(loadMapDialog),
      saveMapDialog_(saveMapDialog) {
    setObjectName("Panel1");
    setAutoFillBackground(true);
    hide();

    filterBox = new QComboBox(this);
    filterBox->setObjectName("ComboBox1");
    filterBox->setGeometry(8, 8, 153, 21);
    filterBox->addItems({"Show All Colours", "Show Transparent Colours", "Show Opaque Colours"});
    connect(filterBox, &QComboBox::currentIndexChanged, this, [this] { filterChanged(); });

    label(this, "Colour", {64, 56, 57, 13})->setObjectName("Label13");
    colourEdit = levelField(this, "NumEdit1", 48, colourArrows);
    connect(colourEdit, &QLineEdit::textChanged, this, [this] { colourEdited(); });
    colourSwatch = new QFrame(this);
    colourSwatch->setObjectName("Panel2");
    colourSwatch->setGeometry(128, 48, 33, 25);
    colourSwatch->setFrameStyle(QFrame::Panel | QFrame::Raised);
    colourSwatch->setAutoFillBackground(true);

    label(this, "Transparency", {72, 88, 65, 13})->setObjectName("Label14");
    levelEdit = levelField(this, "NumEdit2", 80, levelArrows);
    connect(levelEdit, &QLineEdit::textChanged, this, [this] { levelEdited(); });

    label(this, "Select the Colour to edit by clicking on it or by using the Colour Number Selector", {8, 120, 153, 41},
          true)
        ->setObjectName("Label15");
    label(this,
          "Adjust the Transparency Level of the selected colour with the Transparency Number Selector. "
          "Between 0 (fully transparent) and 255 (fully opaque).",
          {8, 168, 153, 73}, true)
        ->setObjectName("labelc");
    transparentCount = label(this, "Transparent Colours -", {176, 12, 130, 13});
    transparentCount->setObjectName("Label18");
    for (QLabel* l : findChildren<QLabel*>())
        fitFont(l, l == transparentCount ? "Transparent Colours - 256" : l->text());
    // The two instructions read as one text: both take the smaller font.
    auto* select = findChild<QLabel*>("Label15");
    auto* adjust = findChild<QLabel*>("labelc");
    const QFont smaller =
        QFontInfo(select->font()).pixelSize() < QFontInfo(adjust->font()).pixelSize() ? select->font() : adjust->font();
    select->setFont(smaller);
    adjust->setFont(smaller);

    connect(button("Button7", "Set All Opaque", "Set all Colours Opaque", {8, 248, 153, 25}), &QPushButton::clicked,
            this, [this] { setAllOpaque(); });
    connect(button("Button17", "All to Current Colour", "Set all Colours to Transparency of current Colour",
                   {8, 280, 153, 25}),
            &QPushButton::clicked, this, [this] { allToCurrent(); });
    connect(button("Button16", "Gradient to Current Colour",
                   "Set Transparency Gradient from Colour 0 to currently selected colour", {8, 312, 153, 25}),
            &QPushButton::clicked, this, [this] { gradientToCurrent(); });
    connect(button("Button14", "Set Colour 0 Transparent", "Set First Colour Transparent and rest Opaque",
                   {8, 344, 153, 25}),
            &QPushButton::clicked, this, [this] { makeColour0Transparent(); });
    connect(button("Button6", "Exit", "Back to Image Display", {8, 376, 57, 25}), &QPushButton::clicked, this,
            [this] { exit(); });
    connect(button("Button8", "Save Palette", "Save Changes to the Current Image Palette", {72, 376, 89, 25}),
            &QPushButton::clicked, this, [this] { savePalette(); });
    connect(button("viewtran", "View/Update", "Create or reloadViews the Transparency view of the Image",
                   {320, 8, 105, 20}),
            &QPushButton::clicked, this, [this] { showTransparencyView(false); });
    connect(
        button("viewcur", "Current", "Show the Currently selected colour in the Transparency view ", {432, 8, 65, 20}),
        &QPushButton::clicked, this, [this] { showTransparencyView(true); });
    connect(
        button("Button11", "Load Transparency Map", "Load a previously saved Transparency Map", {184, 376, 153, 25}),
        &QPushButton::clicked, this, [this] { loadMap(); });
    connect(button("Button12", "Save Transparency Map", "Save the current Transparency Map", {344, 376, 153, 25}),
            &QPushButton::clicked, this, [this] { saveMap(); });
}

QPushButton* TransparencyEditor::button(const QString& name, const QString& caption, const QString& hint,
                                        const QRect& bounds) {
    auto* b = new QPushButton(caption, this);
    b->setObjectName(name);
    b->setToolTip(hint);
    b->setGeometry(bounds);
    return b;
}

int TransparencyEditor::fieldNumber(NumEdit* edit) const {
    // Truncated toward zero and kept inside the palette even before the
    // field is confirmed.
    return std::clamp(int(std::trunc(edit->number())), 0, 255);
}

void TransparencyEditor::open() {
    palette_.paletteChanged = false;
    editorLive_ = false;
    getpalette(workspace_, palette_);
    if (parentWidget()) setGeometry(parentWidget()->rect());
    currentColour_ = 0;
    filterBox->setCurrentIndex(0);
    for (int i = 0; i < 256; ++i) {
        auto* box = new ColourBox(i, this);
        box->setGeometry(180 + 20 * (i % 16), 32 + 20 * (i / 16), 18, 18);
        box->setColour(palette_.colours[size_t(i)]);
        connect(box, &ColourBox::clicked, this, &TransparencyEditor::selectColour);
        boxes[size_t(i)] = box;
    }
    showPalette();
    show();
    raise();
    emit opened();
    editorLive_ = true;
}

bool TransparencyEditor::exit() {
    if (palette_.paletteChanged && !prompts_.confirm(PromptIcon::Information, "CORVANE", kPaletteChangedQuestion))
        return false;
    hide();
    for (ColourBox*& box : boxes) {
        delete box;
        box = nullptr;
    }
    emit closed();
    if (view_) view_->hide();
    return true;
}

void TransparencyEditor::showPalette() {
    int count = 0;
    const int filter = filterBox->currentIndex();
    for (size_t i = 0; i < 256; ++i) {
        const bool opaque = palette_.levels[i] == 255;
        count += opaque ? 0 : 1;
        if (!boxes[i]) continue;
        boxes[i]->setLowered(false);
        boxes[i]->setVisible(filter == 1 ? !opaque : filter == 2 ? opaque : true);
    }
    if (boxes[size_t(currentColour_)]) boxes[size_t(currentColour_)]->setLowered(true);
    colourEdit->setText(NumEdit::format(currentColour_));
    levelEdit->setText(NumEdit::format(palette_.levels[size_t(currentColour_)]));
    QPalette p = colourSwatch->palette();
    p.setColor(QPalette::Window, colourOf(palette_.colours[size_t(currentColour_)]));
    colourSwatch->setPalette(p);
    transparentCount->setText(QStringLiteral("Transparent Colours - %1").arg(count));
}

void TransparencyEditor::selectColour(int index) {
    currentColour_ = std::clamp(index, 0, 255);
    editorLive_ = false;
    showPalette();
    editorLive_ = true;
}

void TransparencyEditor::mousePressEvent(QMouseEvent* event) {
    // The panel's background answers as colour 0.
    if (event->button() == Qt::LeftButton) selectColour(0);
}

void TransparencyEditor::colourEdited() {
    currentColour_ = fieldNumber(colourEdit);
    const bool live = editorLive_;
    editorLive_ = false;
    showPalette();
    editorLive_ = live;
}

void TransparencyEditor::levelEdited() {
    const int32_t before = palette_.levels[size_t(currentColour_)];
    palette_.levels[size_t(currentColour_)] = fieldNumber(levelEdit);
    // The redraw writes the field again; that is no edit.
    const bool live = editorLive_;
    editorLive_ = false;
    showPalette();
    editorLive_ = live;
    if (editorLive_) palette_.paletteChanged = true;
    // A redraw by a preset rewrites the field with the level it already set.
    if (editorLive_ && palette_.levels[size_t(currentColour_)] != before) {
        emit levelsChanged(QStringLiteral("Transparency of Colour %1").arg(currentColour_),
                           QStringLiteral("level %1").arg(currentColour_));
    }
}

void TransparencyEditor::filterChanged() {
    const bool live = editorLive_;
    editorLive_ = false;
    showPalette();
    editorLive_ = live;
}

void TransparencyEditor::setAllOpaque() {
    allOpaque(palette_.levels);
    showPalette();
    palette_.paletteChanged = true;
    emit levelsChanged(QStringLiteral("Set All Opaque"), {});
}

void TransparencyEditor::allToCurrent() {
    allTo(palette_.levels, fieldNumber(levelEdit));
    showPalette();
    palette_.paletteChanged = true;
    emit levelsChanged(QStringLiteral("All to Current Colour"), {});
}

void TransparencyEditor::gradientToCurrent() {
    gradientTo(palette_.levels, fieldNumber(colourEdit));
    showPalette();
    palette_.paletteChanged = true;
    emit levelsChanged(QStringLiteral("Gradient to Current Colour"), {});
}

void TransparencyEditor::makeColour0Transparent() {
    colour0Transparent(palette_.levels);
    showPalette();
    palette_.paletteChanged = true;
    emit levelsChanged(QStringLiteral("Set Colour 0 Transparent"), {});
}

void TransparencyEditor::savePalette() {
    // The levels are now part of the set, which has to be saved to keep them.
    if (savepalette(workspace_, palette_)) emit paletteSaved();
}

void TransparencyEditor::refresh() {
    const bool live = editorLive_;
    editorLive_ = false;
    showPalette();
    editorLive_ = live;
}

void TransparencyEditor::setMapFolder(const QString& chosen) {
    const QString folder = QFileInfo(chosen).absolutePath();
    loadMapDialog_.initialFolder = saveMapDialog_.initialFolder = folder;
    loadMapDialog_.fileName = saveMapDialog_.fileName = chosen;
}

void TransparencyEditor::loadMap() {
    const FileChoice choice = prompts_.chooseFile(loadMapDialog_);
    if (!choice.chosen) return;
    setMapFolder(choice.path);
    const MapResult loaded = corvane::loadMap(choice.path, palette_.levels);
    if (!loaded.outcome.ok) {
        prompts_.warning("Corvane", loaded.outcome.error);
        return;
    }
    showPalette();
    palette_.paletteChanged = true;
    emit levelsChanged(QStringLiteral("Load Transparency Map"), {});
    if (!loaded.shortNote.isEmpty()) prompts_.warning("Corvane", loaded.shortNote);
}

void TransparencyEditor::saveMap() {
    const FileChoice choice = prompts_.chooseFile(saveMapDialog_);
    if (!choice.chosen) return;
    setMapFolder(choice.path);
    if (const CommandOutcome saved = corvane::saveMap(choice.path, palette_.levels); !saved.ok) {
        prompts_.warning("Corvane", saved.error);
        return;
    }
    showPalette();
}

bool TransparencyEditor::showTransparencyView(bool current) {
    const int largest = workspace_.state().largest;
    if (transparencyViewSourceSlot(largest) < 0) return false;
    if (const CommandOutcome built = buildTransparencyView(workspace_, palette_.levels, current ? currentColour_ : -1);
        !built.ok) {
        prompts_.warning("Corvane", built.error);
        return false;
    }
    if (view_) view_->showView(workspace_.slotPath(ScratchSlot), largest >= 2 && largest <= 512 ? largest : 512, this);
    return true;
}

}  // namespace corvane
