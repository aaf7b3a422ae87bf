// The main window's controls as a test reaches them: by their names, as a user
// finds them by their captions.  A control that is not there fails the test.
#pragma once

#include "anyimage.h"
#include "batchpanel.h"
#include "exebuttn.h"
#include "mainwindow.h"
#include "numedit.h"
#include "updown.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>

#include <memory>
#include <stdexcept>
#include <string>

namespace corvane::testing {

class WindowControls {
public:
    std::unique_ptr<MainWindow> window;

    // A control on the window's client area.
    template <class T>
    T* control(const char* name) const {
        T* found = window
                       ? window->centralWidget()->findChild<T*>(QString::fromLatin1(name), Qt::FindDirectChildrenOnly)
                       : nullptr;
        return found ? found : missing<T>(name);
    }
    // An item or a menu of the menu bar, sub-menus included.
    template <class T = QAction>
    T* menuItem(const char* name) const {
        T* found = window ? window->menuBar()->findChild<T*>(QString::fromLatin1(name)) : nullptr;
        return found ? found : missing<T>(name);
    }

    QAction* loadExtendedItem() const { return menuItem("loadcfs"); }
    QAction* loadAnyItem() const { return menuItem("loadany"); }
    QMenu* recentMenu() const { return menuItem<QMenu>("RecentFiles1"); }
    QAction* saveItem() const { return menuItem("save"); }
    QAction* saveDdsItem() const { return menuItem("SaveDds"); }
    QAction* newSixteenBitItem() const { return menuItem("new16"); }
    QAction* aboutItem() const { return menuItem("about"); }
    QAction* quitItem() const { return menuItem("Quit1"); }
    QAction* undoItem() const { return menuItem("Undo1"); }
    QAction* redoItem() const { return menuItem("Redo1"); }
    QAction* createSubImagesItem() const { return menuItem("CreateSubImages1"); }
    QAction* editTransparencyItem() const { return menuItem("getpal"); }
    QAction* editLargestItem() const { return menuItem("doedit"); }
    QAction* selectEditorItem() const { return menuItem("seledit"); }
    QAction* showHintsItem() const { return menuItem("ShowHints1"); }
    QAction* convertTo24Item() const { return menuItem("mm"); }
    QAction* smooth8Item() const { return menuItem("Smooth8"); }
    QAction* showTransparencyItem() const { return menuItem("ShowTransparency"); }
    // 512, 256, 128 or 64.
    QAction* maxImportItem(int size) const { return menuItem(("N" + std::to_string(size)).c_str()); }
    QAction* locateToolItem() const { return menuItem("LocateImageTool1"); }
    QAction* useToolForMipsItem() const { return menuItem("useitool"); }
    QAction* showToolItem() const { return menuItem("showitool"); }
    QAction* convertTo256Item() const { return menuItem("ConvertCurrentImageto256Colours1"); }
    QAction* convertTo565Item() const { return menuItem("N16bit5651"); }
    QAction* convertTo4444Item() const { return menuItem("N16bit4441"); }
    QAction* convertTo32Item() const { return menuItem("N32bit1"); }

    QPushButton* loadAnyButton() const { return control<QPushButton>("Button4"); }
    QPushButton* loadExtendedButton() const { return control<QPushButton>("Button3"); }
    QPushButton* createImageSetButton() const { return control<QPushButton>("Button2"); }
    QPushButton* transparencyButton() const { return control<QPushButton>("Button9"); }
    QPushButton* editButton() const { return control<QPushButton>("Button10"); }
    QPushButton* updatePaletteButton() const { return control<QPushButton>("updatpal"); }
    QPushButton* updateButton() const { return control<QPushButton>("Button1"); }
    QPushButton* mergeButton() const { return control<QPushButton>("Button13"); }
    QPushButton* importCfsButton() const { return control<QPushButton>("Button20"); }
    QPushButton* importStdButton() const { return control<QPushButton>("Button15"); }
    QPushButton* saveButton() const { return control<QPushButton>("Button5"); }

    QLabel* statusBitmap() const { return control<QLabel>("Label10"); }
    QLabel* statusMaximum() const { return control<QLabel>("Label11"); }
    QLabel* statusLoadedAs() const { return control<QLabel>("Label16"); }
    QLabel* statusDepth() const { return control<QLabel>("Label17"); }
    QLabel* editHint() const { return control<QLabel>("Label12"); }
    NumEdit* lighteningEdit() const { return control<NumEdit>("NumEdit3"); }
    UpDown* lighteningArrows() const { return control<UpDown>("UpDown3"); }
    ExeButton* editorLauncher() const { return control<ExeButton>("ExeButton1"); }
    ExeButton* batchLauncher() const { return control<ExeButton>("ExeButton2"); }
    QProgressBar* progressBar() const { return control<QProgressBar>("ProgressBar1"); }
    BatchPanel* batchPanel() const { return control<BatchPanel>("Panel3"); }

private:
    // Thrown, so the test fails where it asked.
    template <class T>
    [[noreturn]] static T* missing(const char* name) {
        throw std::runtime_error(std::string("the window has no control named ") + name);
    }
};

}  // namespace corvane::testing
