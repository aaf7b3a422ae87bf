// The transparency editor: a panel over the whole main window with the 256
// colour boxes of the palette, the colour and level fields, the presets, the
// filter, the maps and the transparency view.
#pragma once

#include "palettelevels.h"
#include "prompts.h"

#include <QFrame>
#include <QWidget>

#include <array>

class QComboBox;
class QLabel;
class QPushButton;

namespace corvane {

class AnyImage;
class NumEdit;
class UpDown;
class Workspace;

// One colour of the grid.
class ColourBox : public QFrame {
    Q_OBJECT
public:
    ColourBox(int index, QWidget* parent);
    int index() const { return index_; }
    void setColour(uint32_t colour);
    void setLowered(bool lowered);
signals:
    void clicked(int index);

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    int index_;
};

// The transparency window: the greyscale view of the largest level.
class TransparencyViewWindow : public QWidget {
    Q_OBJECT
public:
    explicit TransparencyViewWindow(QWidget* parent = nullptr);
    AnyImage* view = nullptr;
    // Shows `path`, the whole picture at its own size.  Opened, it goes
    // beside `beside`'s window, never over it, and wholly on the screen.
    void showView(const QString& path, int level, const QWidget* beside = nullptr);
};

class TransparencyEditor : public QWidget {
    Q_OBJECT
public:
    // The map dialogs belong to the window, which keeps their shared folder
    // between runs.
    TransparencyEditor(Workspace& workspace, PaletteLevels& palette, Prompts& prompts, FileDialog& loadMapDialog,
                       FileDialog& saveMapDialog, QWidget* parent);
    // The window the view is shown in; without one the view is only built.
    void setViewWindow(TransparencyViewWindow* window) { view_ = window; }

    // Opens the editor over the parent's client area (editTransparency).
    void open();
    // Closes it, asking first when levels changed ("Exit"); false when the user stayed.
    bool exit();
    bool isOpen() const { return !isHidden(); }

    void showPalette();
    // Shows the levels as they now stand (put back by Undo), which is no edit.
    void refresh();
    int currentColour() const { return currentColour_; }
    bool editorLive() const { return editorLive_; }

    // The handlers, public so the command line and tests drive the same code.
    void selectColour(int index);
    void colourEdited();
    void levelEdited();
    void filterChanged();
    void setAllOpaque();
    // Every colour at the level of the current one.
    void allToCurrent();
    // Levels rising from colour 0 to the current colour.
    void gradientToCurrent();
    // Colour 0 transparent, the rest opaque.
    void makeColour0Transparent();
    // Writes the levels into the set's palette.
    void savePalette();
    // Transparency maps (.mpt), through the map dialogs.
    void loadMap();
    void saveMap();
    // Builds and shows the transparency view, with the current colour marked
    // when asked; false when no view was made.
    bool showTransparencyView(bool current);

    QComboBox* filterBox = nullptr;
    NumEdit* colourEdit = nullptr;
    UpDown* colourArrows = nullptr;
    NumEdit* levelEdit = nullptr;
    UpDown* levelArrows = nullptr;
    QFrame* colourSwatch = nullptr;
    QLabel* transparentCount = nullptr;
    std::array<ColourBox*, 256> boxes{};

signals:
    // The window disables its File and Image menus while the editor is open.
    void opened();
    void closed();
    // The levels in memory were changed by `what`.  A change with the same
    // non-empty `key` as the one before continues it (the digits of one number).
    void levelsChanged(const QString& what, const QString& key);
    // The levels were written into the set's palette.
    void paletteSaved();

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    QPushButton* button(const QString& name, const QString& caption, const QString& hint, const QRect& bounds);
    int fieldNumber(NumEdit* edit) const;
    void setMapFolder(const QString& chosen);

    Workspace& workspace_;
    PaletteLevels& palette_;
    Prompts& prompts_;
    FileDialog& loadMapDialog_;
    FileDialog& saveMapDialog_;
    TransparencyViewWindow* view_ = nullptr;
    int currentColour_ = 0;
    bool editorLive_ = false;
};

extern const char* const kPaletteChangedQuestion;

}  // namespace corvane
