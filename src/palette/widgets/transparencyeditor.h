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

class TAnyImage;
class TNumEdit;
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
class TForm4 : public QWidget {
    Q_OBJECT
public:
    explicit TForm4(QWidget* parent = nullptr);
    TAnyImage* AnyImage1 = nullptr;
    // Shows `path`, the whole picture at its own size.
    void showView(const QString& path, int level);
};

class TransparencyEditor : public QWidget {
    Q_OBJECT
public:
    // The map dialogs `map` and `smap` belong to the window, which keeps their
    // shared folder between runs.
    TransparencyEditor(Workspace& workspace, PaletteLevels& palette, Prompts& prompts, FileDialog& map,
                       FileDialog& smap, QWidget* parent);
    // The window the view is shown in; without one the view is only built.
    void setViewWindow(TForm4* window) { view_ = window; }

    // Opens the editor over the parent's client area (getpalClick).
    void open();
    // Closes it, asking first when levels changed (Button6Click); false when the user stayed.
    bool exit();
    bool isOpen() const { return !isHidden(); }

    void showpalette();
    int currentColour() const { return currentColour_; }
    bool editorLive() const { return editorLive_; }

    // The handlers, public so the command line and tests drive the same code.
    void boxClick(int index);
    void NumEdit1Change();
    void NumEdit2Change();
    void ComboBox1Change();
    void Button7Click();                         // Set All Opaque
    void Button17Click();                        // All to Current Colour
    void Button16Click();                        // Gradient to Current Colour
    void Button14Click(bool fromBatch = false);  // Set Colour 0 Transparent
    void Button8Click();                         // Save Palette
    void Button11Click();                        // Load Transparency Map
    void Button12Click();                        // Save Transparency Map
    bool viewtranClick(bool current);            // View/Update, Current; false when no view was made

    QComboBox* ComboBox1 = nullptr;
    TNumEdit* NumEdit1 = nullptr;
    UpDown* UpDown1 = nullptr;
    TNumEdit* NumEdit2 = nullptr;
    UpDown* UpDown2 = nullptr;
    QFrame* Panel2 = nullptr;
    QLabel* Label18 = nullptr;
    std::array<ColourBox*, 256> boxes{};

signals:
    // The window disables its File and Image menus while the editor is open.
    void opened();
    void closed();

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    QPushButton* button(const QString& name, const QString& caption, const QString& hint, const QRect& bounds);
    int fieldNumber(TNumEdit* edit) const;
    void setMapFolder(const QString& chosen);

    Workspace& workspace_;
    PaletteLevels& palette_;
    Prompts& prompts_;
    FileDialog& map_;
    FileDialog& smap_;
    TForm4* view_ = nullptr;
    int currentColour_ = 0;
    bool editorLive_ = false;
};

extern const char* const kPaletteChangedQuestion;

}  // namespace corvane
