// Building the main window: its controls, menus, dialogs and panels, the
// settings it reads and writes, the preferences and closing.
#include "mainwindow.h"

#include "anyimage.h"
#include "batchpanel.h"
#include "exebuttn.h"
#include "filewatch.h"
#include "numedit.h"
#include "progress.h"
#include "recentfiles.h"
#include "secondarywindows.h"
#include "import.h"
#include "transparencyeditor.h"
#include "updown.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>

#include <algorithm>
#include <cmath>

namespace corvane {

namespace {

constexpr int kClientWidth = 517;
constexpr int kClientHeight = 411;

// The lightening as it is stored.  The edit makes a value whole by adding 0.5
// and truncating, which moves a negative value up by one; storing it one lower
// makes it read back as the same number.
int32_t storedLightening(double shown) {
    const auto whole = int32_t(std::trunc(shown));
    return whole < 0 ? whole - 1 : whole;
}

#ifdef _WIN32
const char* const kProgramsFilter = "Programs|*.exe";
#else
// Programs carry no extension here.
const char* const kProgramsFilter = "Programs|*";
#endif

QLabel* makeLabel(QWidget* parent, const char* name, const QString& caption, const QRect& bounds,
                  Qt::Alignment align = Qt::AlignHCenter | Qt::AlignTop) {
    auto* label = new QLabel(caption, parent);
    if (name) label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(bounds);
    label->setAlignment(align);
    return label;
}

}  // namespace

MainWindow::MainWindow(SettingsStore& store, Prompts& prompts, Workspace workspace, const SettingsDefaults& defaults,
                       QWidget* parent)
    : QMainWindow(parent), store_(store), prompts_(prompts), workspace_(std::move(workspace)) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Aviant Extended Bitmap Manipulator"));
    // A fixed-size window: no maximise button.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);

    // The layout is measured in pixels for a small font; a larger desktop
    // font would clip the captions of the narrow buttons.
    QFont small = font();
    small.setFamilies({QStringLiteral("Arial"), QStringLiteral("Liberation Sans"), QStringLiteral("Nimbus Sans"),
                       QStringLiteral("Helvetica"), small.family()});
    small.setPixelSize(11);
    setFont(small);

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(kClientWidth, kClientHeight);
    setCentralWidget(client);
    recent_ = std::make_unique<RecentFiles>(store_);
    buildControls(client);
    buildMenus();
    buildDialogs();
    slotWatch_ = new FileWatch(this);
    connect(slotWatch_, &FileWatch::changed, this, [this] { checkPaintSessions(); });
    // The menu bar stays inside the window so the client area keeps its size.
    menuBar()->setNativeMenuBar(false);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    adjustSize();
    workspace_.state().loadedPath.clear();

    applySettings(readSettings(store_, defaults));
    workspace_.state().largeViewPlaced = false;

    installProgressRoutine(context_, progressBar_);

    loadAnyDialog_.filter = pictureFilter();
    mergeDialog_.filter = loadAnyDialog_.filter;
    mergeDialog_.filterIndex = 2;

    showLauncherFiles();
    fillRecentMenu();
    // Copies handed to a paint program by a run before this one belong to no set now.
    removePaintSessions();
    // Undo starts from what the work folder holds.
    history_.reset(captureStep(QString(), 0));
    identities_.insert(0, SetIdentity{QString(), false, history_.current().digest});
    showStatus();
    refreshSetMark();
    // A file dropped on the window loads; a folder opens the batch panel.
    setAcceptDrops(true);

    if (!workspace_.usable()) {
        prompts_.warning(QStringLiteral("Corvane"),
                         "The work folder " + QDir::toNativeSeparators(workspace_.workDir()) +
                             " cannot be used: it could not be made, or it belongs to someone else.");
    }

    qApp->installEventFilter(this);
}

MainWindow::~MainWindow() = default;

void MainWindow::setSecondaryWindows(TextWindow* textWindow, LargeLevelWindow* largeLevelWindow,
                                     TransparencyViewWindow* transparencyViewWindow, AboutBox* aboutBox) {
    textWindow_ = textWindow;
    largeLevelWindow_ = largeLevelWindow;
    transparencyViewWindow_ = transparencyViewWindow;
    aboutBox_ = aboutBox;
    transparencyEditor_->setViewWindow(transparencyViewWindow);
    if (textWindow_) textWindow_->setAboutBox(aboutBox_);
    // The window's keys work while the large window or the transparency
    // view has the focus too.
    for (QWidget* other : {static_cast<QWidget*>(largeLevelWindow_), static_cast<QWidget*>(transparencyViewWindow_)})
        if (other)
            for (QAction* a : {loadAnyItem_, loadExtendedItem_, saveItem_, quitItem_, updateAfterEditItem_, aboutItem_,
                               undoItem_, redoItem_})
                other->addAction(a);
    if (largeLevelWindow_) {
        largeLevelWindow_->view->setTempDir(workspace_.workDir());
        largeLevelWindow_->keepGeometryIn(&largeWindowGeometry_);
        connect(largeLevelWindow_, &LargeLevelWindow::editRequested, this, &MainWindow::editLevel,
                Qt::UniqueConnection);
    }
    showTransparencyOfViews();
}

// ---------------------------------------------------------------------------
// Building the window

void MainWindow::buildControls(QWidget* client) {
    auto* smallBevel = new QFrame(client);
    smallBevel->setObjectName(QStringLiteral("smallViewsBevel"));
    smallBevel->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    smallBevel->setGeometry(0, 0, 513, 89);
    auto* mainBevel = new QFrame(client);
    mainBevel->setObjectName(QStringLiteral("mainBevel"));
    mainBevel->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    mainBevel->setGeometry(0, 96, 513, 313);

    createViews(client);

    // Level captions: below the small views, above the two large ones.
    const int smallLefts[] = {8, 80, 152, 224, 296, 368, 440};
    const int smallLevels[] = {1, 2, 4, 8, 16, 32, 64};
    for (int i = 0; i < 7; ++i) {
        const QString level = QString::number(smallLevels[i]);
        makeLabel(client, nullptr, level + "x" + level, QRect(smallLefts[i], 72, 65, 16))
            ->setObjectName("levelCaption" + level);
    }
    makeLabel(client, "levelCaption256", QStringLiteral("256x256"), QRect(8, 97, 257, 13));
    makeLabel(client, "levelCaption128", QStringLiteral("128x128"), QRect(272, 97, 129, 16));

    struct ButtonInfo {
        QPushButton** member;  // when the window refers to it later
        const char* name;
        const char* caption;
        const char* hint;
        QRect bounds;
        void (MainWindow::*handler)();
    };
    const ButtonInfo buttons[] = {
        {nullptr, "Button4", "Load Any Image", "Load Any Image", {408, 100, 97, 20}, &MainWindow::loadAnyImage},
        {nullptr,
         "Button3",
         "Load Extended",
         "Load Extended Format Bitmap or AF99 Texture",
         {408, 120, 97, 20},
         &MainWindow::loadExtended},
        {nullptr,
         "Button2",
         "Create Image Set",
         "Create a full set of SubImages from the Current Largest Image",
         {408, 140, 97, 20},
         &MainWindow::createImageSet},
        {&transparencyButton_,
         "Button9",
         "Transparency",
         "Edit Palette Transparency",
         {408, 160, 97, 20},
         &MainWindow::editTransparency},
        {&editButton_, "Button10", "Edit", "Edit Largest Image", {408, 180, 97, 20}, &MainWindow::editLargestLevel},
        {nullptr,
         "updatpal",
         "Update+Palette",
         "Update after Edit - Palette also updated",
         {408, 200, 97, 20},
         &MainWindow::updateWithPalette},
        {nullptr, "Button1", "Update", "Update Images after Edit", {408, 220, 97, 20}, &MainWindow::updateViews},
        {&mergeButton_,
         "Button13",
         "Merge Image",
         "Load new image remapped to the current Image palette",
         {8, 376, 81, 25},
         &MainWindow::mergeImage},
        {&importCfsButton_,
         "Button20",
         "Import CFS",
         "Replace Image with CFS Extended Image & Palette",
         {96, 376, 81, 25},
         &MainWindow::importCfs},
        {&importStdButton_,
         "Button15",
         "Import Std",
         "Replace Image with Image & Palette",
         {184, 376, 81, 25},
         &MainWindow::importStd},
        {&saveButton_,
         "Button5",
         "Save Extended Format Bitmap",
         "Save all displayed Images as a single Extended Format BMP",
         {272, 376, 233, 25},
         &MainWindow::saveExtended},
    };
    for (const ButtonInfo& b : buttons) {
        auto* button = new QPushButton(QString::fromLatin1(b.caption), client);
        button->setObjectName(QString::fromLatin1(b.name));
        button->setToolTip(QString::fromLatin1(b.hint));
        button->setGeometry(b.bounds);
        connect(button, &QPushButton::clicked, this, b.handler);
        if (b.member) *b.member = button;
    }
    // These need a loaded set.
    for (QPushButton* b : {transparencyButton_, mergeButton_, importStdButton_, importCfsButton_}) b->setEnabled(false);

    statusBitmap_ = makeLabel(client, "Label10", shownStatus_.bitmap, QRect(272, 248, 185, 16));
    statusMaximum_ = makeLabel(client, "Label11", shownStatus_.maximum, QRect(272, 264, 185, 16));
    statusLoadedAs_ = makeLabel(client, "Label16", shownStatus_.loadedAs, QRect(272, 280, 185, 16));
    statusDepth_ = makeLabel(client, "Label17", shownStatus_.depth, QRect(272, 296, 185, 16));
    QPalette red = statusDepth_->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    statusDepth_->setPalette(red);
    editHint_ = makeLabel(client, "Label12",
                          QStringLiteral("Double Click on any Image to Edit it in the chosen Bitmap Program"),
                          QRect(272, 320, 185, 33), Qt::AlignHCenter | Qt::AlignTop);
    editHint_->setWordWrap(true);

    createLighteningEdit(client);
    createLaunchers(client);

    progressBar_ = new QProgressBar(client);
    progressBar_->setObjectName(QStringLiteral("ProgressBar1"));
    progressBar_->setGeometry(272, 360, 233, 12);
    progressBar_->setRange(0, 100);
    progressBar_->setValue(0);
    progressBar_->setTextVisible(false);

    // The panels cover the whole client area when their commands show them.
    createPanels(client);
}

void MainWindow::createViews(QWidget* client) {
    struct ViewInfo {
        QRect bounds;
        bool stretched;
    };
    // Levels 256 down to 1.  The three large levels show at their own size;
    // the small ones are enlarged to their 64x64 views.
    const ViewInfo infos[] = {
        {{8, 112, 256, 256}, false}, {{272, 112, 128, 128}, false}, {{440, 8, 64, 64}, false},
        {{368, 8, 64, 64}, true},    {{296, 8, 64, 64}, true},      {{224, 8, 64, 64}, true},
        {{152, 8, 64, 64}, true},    {{80, 8, 64, 64}, true},       {{8, 8, 64, 64}, true},
    };
    static_assert(std::size(infos) == std::tuple_size_v<decltype(views_)>);
    for (size_t i = 0; i < views_.size(); ++i) {
        const ViewInfo& v = infos[i];
        auto* view = new AnyImage(client);
        view->setObjectName(QStringLiteral("AnyImage%1").arg(i + 1));
        view->setGeometry(v.bounds);
        view->setCenterOnParent(false);
        view->setStretch(v.stretched);
        // The temporary picture of a load goes beside the slots, in our own folder.
        view->setTempDir(workspace_.workDir());
        const int levelIndex = int(i) + 1;
        connect(view, &AnyImage::doubleClicked, this, [this, levelIndex] { editLevel(levelIndex); });
        addViewMenu(view, levelIndex);
        views_[i] = view;
    }
}

void MainWindow::createLighteningEdit(QWidget* client) {
    const QString hint = QStringLiteral("Adjust Lightening applied to subimages (Negative = Darkening)");
    lighteningEdit_ = new NumEdit(client);
    lighteningEdit_->setObjectName(QStringLiteral("NumEdit3"));
    lighteningEdit_->setGeometry(464, 248, 33, 21);
    lighteningEdit_->setAllowMinus(true);
    lighteningEdit_->setNumber(-5);
    lighteningEdit_->setMax(100);
    lighteningEdit_->setMin(-100);
    lighteningEdit_->setToolTip(hint);
    auto* arrows = new UpDown(client);
    arrows->setObjectName(QStringLiteral("UpDown3"));
    arrows->setGeometry(497, 248, 15, 21);
    arrows->setRange(-50, 50);
    arrows->setWrap(false);
    arrows->setPosition(-5);
    arrows->setAssociate(lighteningEdit_);
    arrows->setToolTip(hint);
}

void MainWindow::createLaunchers(QWidget* client) {
    // Icon-only buttons that size themselves; a click runs the window's
    // handler rather than opening the file.
    const auto make = [client](const char* name, int top, const char* hint) {
        auto* button = new ExeButton(client);
        button->setObjectName(QString::fromLatin1(name));
        button->move(464, top);
        button->setShowLabel(false);
        button->setAuto(true);
        button->setToolTip(QString::fromLatin1(hint));
        return button;
    };
    batchLauncher_ = make("ExeButton2", 274, "Batch-Convert multiple Images");
    connect(batchLauncher_, &ExeButton::clicked, this, &MainWindow::openBatchPanel);
    editorLauncher_ = make("ExeButton1", 314, "Select Editing Program");
    connect(editorLauncher_, &ExeButton::clicked, this, &MainWindow::selectEditor);
}

void MainWindow::buildMenus() {
    // A command item runs its handler; a check item without one only records
    // the choice, which the commands read when they run.  `member` keeps the
    // items the window refers to later.
    const auto item = [this](QMenu* menu, QAction** member, const char* name, const char* caption,
                             std::function<void()> handler, bool checkable = false) {
        QAction* action = menu->addAction(QString::fromUtf8(caption));  // "Save As DDS…" is not Latin-1
        action->setObjectName(QString::fromLatin1(name));
        action->setCheckable(checkable);
        if (handler) connect(action, &QAction::triggered, this, [handler = std::move(handler)] { handler(); });
        if (member) *member = action;
    };
    const auto run = [this](void (MainWindow::*handler)()) { return [this, handler] { (this->*handler)(); }; };

    QMenu* file = menuBar()->addMenu(QStringLiteral("&File   "));
    file->setObjectName(QStringLiteral("File1"));
    item(file, &loadExtendedItem_, "loadcfs", "&Load Extended Bmp or AF99 Texture", run(&MainWindow::loadExtended));
    item(file, &loadAnyItem_, "loadany", "Load &any Image", run(&MainWindow::loadAnyImage));
    recentMenu_ = file->addMenu(QStringLiteral("&Recent Files"));
    recentMenu_->setObjectName(QStringLiteral("RecentFiles1"));
    // Files that have gone since the list was made drop out as it opens.
    connect(recentMenu_, &QMenu::aboutToShow, this, &MainWindow::fillRecentMenu);
    item(file, &saveItem_, "save", "&Save Extended Bmp", run(&MainWindow::saveExtended));
    item(file, &saveDdsItem_, "SaveDds", "Save As &DDS…", [this] { saveAsDds(); });
    file->addSeparator();
    item(file, nullptr, "new16", "Create &New 16 bit Image Set", run(&MainWindow::newSixteenBitSet));
    file->addSeparator();
    item(file, &aboutItem_, "about", "A&bout", run(&MainWindow::showAbout));
    file->addSeparator();
    item(file, &quitItem_, "Quit1", "&Quit", run(&MainWindow::quit));

    QMenu* edit = menuBar()->addMenu(QStringLiteral("&Edit   "));
    edit->setObjectName(QStringLiteral("Edit1"));
    item(edit, &undoItem_, "Undo1", "&Undo", run(&MainWindow::undo));
    item(edit, &redoItem_, "Redo1", "&Redo", run(&MainWindow::redo));
    undoItem_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z));
    redoItem_->setShortcuts({QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), QKeySequence(Qt::CTRL | Qt::Key_Y)});

    QMenu* image = menuBar()->addMenu(QStringLiteral("&Image   "));
    image->setObjectName(QStringLiteral("Image1"));
    item(image, nullptr, "CreateSubImages1", "&Create SubImages", run(&MainWindow::createImageSet));
    item(image, &updateAfterEditItem_, "UpdateafterEdit1", "&Update after Edit", run(&MainWindow::updateViews));
    item(image, &editTransparencyItem_, "getpal", "Edit &Transparency", run(&MainWindow::editTransparency));
    item(image, &editLargestItem_, "doedit", "&Edit Largest Image", run(&MainWindow::editLargestLevel));

    // The usual keys of a desktop program, shown beside their items.
    loadAnyItem_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    loadExtendedItem_->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
    saveItem_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    quitItem_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    updateAfterEditItem_->setShortcut(QKeySequence(Qt::Key_F5));
    aboutItem_->setShortcut(QKeySequence(Qt::Key_F1));

    QMenu* prefs = menuBar()->addMenu(QStringLiteral("&Prefs   "));
    prefs->setObjectName(QStringLiteral("Prefs1"));
    item(prefs, nullptr, "seledit", "Select &Editor", run(&MainWindow::selectEditor));
    item(prefs, &showHintsItem_, "ShowHints1", "Show &Hints", run(&MainWindow::showHintsToggled), true);
    item(prefs, &convertTo24Item_, "mm", "&Convert 16/32 to 24 bit", {}, true);
    item(prefs, &smooth8Item_, "Smooth8", "&Smooth 8 bit Image sets", {}, true);
    smooth8Item_->setToolTip(
        QStringLiteral("Smooth the subimages created with \"Create Image Set\" with 8 bit Images"));
    item(prefs, &keepCoverageItem_, "KeepCoverage", "&Keep cut-out coverage in mips", {}, true);
    keepCoverageItem_->setToolTip(QStringLiteral(
        "Fences, railings and other cut-outs keep as many solid texels in the smaller levels as in the largest "
        "(8 bit sets always do)"));
    item(prefs, &showTransparencyItem_, "ShowTransparency", "Show &Transparency",
         run(&MainWindow::showTransparencyToggled), true);
    showTransparencyItem_->setToolTip(QStringLiteral("Show the transparent parts of the images over a checkerboard"));
    QMenu* importSize = prefs->addMenu(QStringLiteral("&Maximum Image Import Size"));
    importSize->setObjectName(QStringLiteral("MaximumImageImportSize1"));
    const auto importAt = [this](int size) { return [this, size] { setMaxImport(size); }; };
    item(importSize, &maxImport512Item_, "N512", "&512x512", importAt(512), true);
    item(importSize, &maxImport256Item_, "N256", "&256x256", importAt(256), true);
    item(importSize, &maxImport128Item_, "N128", "&128x128", importAt(128), true);
    item(importSize, &maxImport64Item_, "N64", "&64x64", importAt(64), true);
    auto* importSizeGroup = new QActionGroup(this);
    importSizeGroup->setExclusive(true);
    for (QAction* a : {maxImport512Item_, maxImport256Item_, maxImport128Item_, maxImport64Item_})
        importSizeGroup->addAction(a);
    maxImport256Item_->setChecked(true);
    prefs->addSeparator();

    QMenu* tool = menuBar()->addMenu(QStringLiteral("Image&Tool"));
    tool->setObjectName(QStringLiteral("ImageTool1"));
    item(tool, nullptr, "LocateImageTool1", "&Locate ImageTool", run(&MainWindow::locateImageTool));
    item(tool, &useToolForMipsItem_, "useitool", "&Use ImageTool for Mips", {}, true);
    item(tool, &showToolItem_, "showitool", "&Display ImageTool when Processing", {}, true);
    tool->addSeparator();
    QMenu* convert = tool->addMenu(QStringLiteral("&Convert current image to"));
    convert->setObjectName(QStringLiteral("Convertcurrentimageto1"));
    const auto conversion = [&](const char* name, SetDepth depth) {
        item(convert, nullptr, name, depth.menuText(), [this, depth] { convertTo(depth); });
    };
    conversion("ConvertCurrentImageto256Colours1", SetDepth::Palette8);
    conversion("N16bit5651", SetDepth::Rgb565);
    conversion("N16bit4441", SetDepth::Argb4444);
    conversion("N32bit1", SetDepth::Argb32);

    // F10 opens the menu bar, as Alt and the underlined letters do.
    auto* menuKey = new QShortcut(QKeySequence(Qt::Key_F10), this);
    connect(menuKey, &QShortcut::activated, this, [this] {
        const QList<QAction*> titles = menuBar()->actions();
        if (!titles.isEmpty() && titles.front()->isEnabled()) {
            menuBar()->setFocus(Qt::ShortcutFocusReason);
            menuBar()->setActiveAction(titles.front());
        }
    });

    menus_ = {file, image, prefs, tool};
}

void MainWindow::buildDialogs() {
    const auto make = [](const char* name, FileDialog::Kind kind, const QString& filter, const char* extension,
                         bool confirmOverwrite = false) {
        FileDialog d;
        d.objectName = QString::fromLatin1(name);
        d.kind = kind;
        d.filter = filter;
        d.defaultExtension = QString::fromLatin1(extension);
        d.confirmOverwrite = confirmOverwrite;
        return d;
    };
    using K = FileDialog::Kind;
    loadExtendedDialog_ =
        make("opencfs", K::Open, QStringLiteral("Windows Bitmap|*.bmp|AF99 Texture File|*.?af|Any R8 Texture File|*.*"),
             ".bmp");
    loadAnyDialog_ = make("openstd", K::Open, QString(), ".bmp");
    saveExtendedDialog_ = make("savebmp", K::Save, QStringLiteral("Windows Bitmap|*.bmp"), ".bmp", true);
    QStringList ddsChoices;
    for (const DdsSaveChoice& choice : kDdsSaveChoices) ddsChoices << QString::fromLatin1(choice.name) << "*.dds";
    saveDdsDialog_ = make("savedds", K::Save, ddsChoices.join('|'), ".dds", true);
    loadMapDialog_ = make("map", K::Open, QStringLiteral("Transparency Map|*.mpt"), "mpt");
    saveMapDialog_ = make("smap", K::Save, QStringLiteral("Transparency Map|*.mpt"), "mpt", true);
    mergeDialog_ = make("merge", K::Open, QString(), "bmp");
    editorDialog_ = make("editselect", K::Open, QString::fromLatin1(kProgramsFilter), "");
    imageToolDialog_ = make("itool", K::Open, QString::fromLatin1(kProgramsFilter), "");
}

void MainWindow::createPanels(QWidget* client) {
    transparencyEditor_ =
        new TransparencyEditor(workspace_, palette_, prompts_, loadMapDialog_, saveMapDialog_, client);
    transparencyEditor_->setGeometry(client->rect());
    connect(transparencyEditor_, &TransparencyEditor::opened, this, [this] {
        setFileMenus(false);
        editorRun_ = ++editorRuns_;
        updateUndoItems();
    });
    connect(transparencyEditor_, &TransparencyEditor::closed, this, [this] {
        setFileMenus(true);
        transparencyEditorClosed();
        // Levels saved in the editor show in the views.
        showTransparencyOfViews();
    });
    // Every change of the levels is a step of its own, and marks the set changed.
    connect(transparencyEditor_, &TransparencyEditor::levelsChanged, this,
            [this](const QString& what, const QString& key) { recordChange(what, key); });
    connect(transparencyEditor_, &TransparencyEditor::paletteSaved, this,
            [this] { recordChange(QStringLiteral("Save Palette")); });

    batchPanel_ = new BatchPanel(client);
    batchPanel_->setGeometry(client->rect());
    connect(batchPanel_, &BatchPanel::exitRequested, this, [this] { closeBatchPanel(); });
    connect(batchPanel_, &BatchPanel::convertRequested, this, [this](bool colour0) { convertBatch(colour0); });
    connect(batchPanel_->source, &FolderChooser::folderChanged, this,
            [this](const QString& f) { batchSourceFolder_ = f; });
    connect(batchPanel_->destination, &FolderChooser::folderChanged, this, [this](const QString& f) {
        batchDestinationFolder_ = f;
        showLauncherFiles();
    });
}

void MainWindow::setFileMenus(bool enabled) {
    // menus_ holds File, Image, Prefs, ImageTool.
    for (int i = 0; i < 2; ++i)
        if (menus_[size_t(i)]) menus_[size_t(i)]->menuAction()->setEnabled(enabled);
    // Their keys follow them.
    for (QAction* a : {loadAnyItem_, loadExtendedItem_, saveItem_, quitItem_, updateAfterEditItem_, aboutItem_})
        if (a) a->setEnabled(enabled);
}

SetOptions MainWindow::setOptions() const {
    SetOptions options;
    options.convertTo24 = convertTo24Item_->isChecked();
    options.smooth8 = smooth8Item_->isChecked();
    options.keepCoverage = keepCoverageItem_->isChecked();
    options.useImageTool = useToolForMipsItem_->isChecked();
    options.lightening = lightening();
    return options;
}

ToolSettings MainWindow::toolSettings() const {
    return ToolSettings{imageToolDialog_.fileName, showToolItem_->isChecked()};
}

TextureToolRun MainWindow::textureTool() { return corvane::textureTool(workspace_, toolSettings()); }

// ---------------------------------------------------------------------------
// Settings

void MainWindow::applySettings(const Settings& s) {
    loadExtendedDialog_.initialFolder = s.cfsDir;
    loadAnyDialog_.initialFolder = s.stdDir;
    saveExtendedDialog_.initialFolder = s.saveDir;
    loadMapDialog_.initialFolder = s.mapDir;
    saveMapDialog_.initialFolder = s.mapDir;
    batchSourceFolder_ = s.batchDir;
    batchDestinationFolder_ = s.destDir;
    loadAnyDialog_.filterIndex = s.filter;
    editorDialog_.fileName = s.editor;
    imageToolDialog_.fileName = s.imageTool;
    move(s.left, s.top);
    largeWindowGeometry_ = {s.left512, s.top512, s.width512, s.height512};
    smooth8Item_->setChecked(s.smooth8bit);
    keepCoverageItem_->setChecked(s.keepCoverage);
    showTransparencyItem_->setChecked(s.showTransparency);
    showTransparencyToggled();
    showHintsItem_->setChecked(s.hints);
    showHintsToggled();
    useToolForMipsItem_->setChecked(s.useImageTool);
    showToolItem_->setChecked(s.showImageTool);
    convertTo24Item_->setChecked(s.convert24bit);
    setLightening(s.lightening);
    setMaxImport(s.maxImport);
}

Settings MainWindow::currentSettings() const {
    Settings s;
    s.cfsDir = loadExtendedDialog_.initialFolder;
    s.stdDir = loadAnyDialog_.initialFolder;
    s.saveDir = saveExtendedDialog_.initialFolder;
    s.mapDir = loadMapDialog_.initialFolder;
    s.mergeDir = mergeDialog_.initialFolder;
    s.batchDir = batchSourceFolder_;
    s.destDir = batchDestinationFolder_;
    s.filter = loadAnyDialog_.filterIndex;
    s.editor = editorDialog_.fileName;
    s.imageTool = imageToolDialog_.fileName;
    s.left = x();
    s.top = y();
    s.left512 = largeWindowGeometry_.left;
    s.top512 = largeWindowGeometry_.top;
    s.width512 = largeWindowGeometry_.width;
    s.height512 = largeWindowGeometry_.height;
    s.smooth8bit = smooth8Item_->isChecked();
    s.keepCoverage = keepCoverageItem_->isChecked();
    s.showTransparency = showTransparencyItem_->isChecked();
    s.hints = showHintsItem_->isChecked();
    s.useImageTool = useToolForMipsItem_->isChecked();
    s.showImageTool = showToolItem_->isChecked();
    s.convert24bit = convertTo24Item_->isChecked();
    s.lightening = storedLightening(lighteningEdit_->number());
    s.maxImport = maxImportSize_;
    return s;
}

int32_t MainWindow::lightening() const { return int32_t(std::trunc(lighteningEdit_->number())); }

void MainWindow::setLightening(int32_t value) { lighteningEdit_->setNumber(value); }

bool MainWindow::hintsShown() const { return showHints_; }

void MainWindow::setMaxImport(int size) {
    maxImportSize_ = importSizeFromStored(size);
    switch (maxImportSize_) {
        case 512:
            maxImport512Item_->setChecked(true);
            break;
        case 128:
            maxImport128Item_->setChecked(true);
            break;
        case 64:
            maxImport64Item_->setChecked(true);
            break;
        default:
            maxImport256Item_->setChecked(true);
            break;
    }
}

void MainWindow::showLauncherFiles() {
    editorLauncher_->setFileName(editorDialog_.fileName);
    editorLauncher_->setToolTip("Select Editing Program (Currently " + fileNameOnly(editorDialog_.fileName) + ")");
    batchLauncher_->setFileName(batchDestinationFolder_);
}

// ---------------------------------------------------------------------------
// Dialogs, hints, closing

FileChoice MainWindow::runDialog(FileDialog& dialog) {
    const FileChoice choice = prompts_.chooseFile(dialog);
    if (choice.chosen) {
        dialog.fileName = choice.path;
        dialog.filterIndex = choice.filterIndex;
    }
    return choice;
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ToolTip && !showHints_ && watched->isWidgetType()) {
        // Menus are windows of their own, so follow the parents up.
        for (QObject* o = watched; o; o = o->parent())
            if (o == this) return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!settleUnsavedChanges()) {
        event->ignore();
        return;
    }
    finishClosing();
    event->accept();
    emit closed();
}

void MainWindow::finishClosing() {
    // Hiding the large window copies its place into the kept geometry.
    if (largeLevelWindow_) largeLevelWindow_->hide();
    writeSettings(store_, currentSettings());
    store_.sync();
    workspace_.clearSlots();
    removePaintSessions();
    clearViews();
}

void MainWindow::clearViews() {
    // An empty name makes the next assignment of a slot load it again.
    if (largeLevelWindow_) largeLevelWindow_->view->setFileName(QString());
    for (AnyImage* view : views()) view->setFileName(QString());
}

// ---------------------------------------------------------------------------
// Preference commands.  Qt has already toggled a check item when its handler
// runs, so the handlers act on the check mark as it now stands; the other
// check marks are the settings themselves, read when a command runs.

void MainWindow::showHintsToggled() {
    showHints_ = showHintsItem_->isChecked();
    for (QMenu* menu : menus_)
        if (menu) menu->setToolTipsVisible(showHints_);
}

void MainWindow::locateImageTool() {
    imageToolDialog_.initialFolder = folderPartOf(imageToolDialog_.fileName);
    runDialog(imageToolDialog_);
}

void MainWindow::quit() { close(); }

void MainWindow::showAbout() {
    if (!textWindow_) return;
    // Before its first showing the text window's frame is unknown; it gets the
    // same decoration as this window.
    QSize outer = textWindow_->frameGeometry().size();
    if (outer == textWindow_->size()) outer += frameGeometry().size() - size();
    textWindow_->move(centredOver(frameGeometry(), outer));
    textWindow_->exec();
}

}  // namespace corvane
