#include "mainwindow.h"

#include "anyimage.h"
#include "exebuttn.h"
#include "forms.h"
#include "numedit.h"
#include "transparencyeditor.h"
#include "progress.h"
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

#include <algorithm>
#include <cmath>

namespace corvane {

PictureFormatTable libraryPictureFormats() { return {&_Pic_Count, &_Pic_Description, &_Pic_Extension, &_Pic_Pattern}; }

QString pictureFilter(const PictureFormatTable& formats) {
    const auto text = [](const char* s) { return s ? QString::fromUtf8(s) : QString(); };
    // Entry 0 is the library's "all pictures" entry: no extension in brackets.
    QString filter = text(formats.description(0)) + "|" + text(formats.pattern(0)) + "|";
    const int32_t count = formats.count();
    for (int32_t n = 1; n <= count; ++n) {
        filter +=
            text(formats.description(n)) + " (" + text(formats.extension(n)) + ")|" + text(formats.pattern(n)) + "|";
    }
    return filter + "All Files|*.*";
}

QPoint centredOver(const QRect& owner, const QSize& size) {
    return {owner.left() + (owner.width() - size.width()) / 2, owner.top() + (owner.height() - size.height()) / 2};
}

}  // namespace corvane

using corvane::FileDialog;

namespace {

constexpr int kClientWidth = 517;
constexpr int kClientHeight = 411;

// The last part of a path, whichever separator it uses (a stored path may
// come from another system).
QString fileNameOnly(const QString& path) {
    const qsizetype cut = std::max(path.lastIndexOf('/'), path.lastIndexOf('\\'));
    return path.mid(cut + 1);
}

// The lightening as it is stored.  The edit makes a value whole by adding 0.5
// and truncating, which moves a negative value up by one; storing it one lower
// makes it read back as the same number.
int32_t storedLightening(double shown) {
    const auto whole = int32_t(std::trunc(shown));
    return whole < 0 ? whole - 1 : whole;
}

// The folder part of a path, empty for a bare name.
QString folderOf(const QString& path) {
    const qsizetype cut = std::max(path.lastIndexOf('/'), path.lastIndexOf('\\'));
    return cut < 0 ? QString() : path.left(cut + 1);
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

TForm1::TForm1(corvane::SettingsStore& store, corvane::Prompts& prompts, corvane::Workspace workspace,
               const corvane::SettingsDefaults& defaults, QWidget* parent)
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
    buildControls(client);
    buildMenus();
    buildDialogs();
    // The menu bar stays inside the window so the client area keeps its size.
    menuBar()->setNativeMenuBar(false);
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    adjustSize();
    workspace_.state().loadedPath.clear();

    applySettings(corvane::readSettings(store_, defaults));
    workspace_.state().largeViewPlaced = false;

    corvane::installProgressRoutine(context_, ProgressBar1);

    openstd.filter = corvane::pictureFilter();
    merge.filter = openstd.filter;
    merge.filterIndex = 2;

    showLauncherFiles();

    if (!workspace_.usable()) {
        prompts_.warning(QStringLiteral("Corvane"),
                         "The work folder " + QDir::toNativeSeparators(workspace_.workDir()) +
                             " cannot be used: it could not be made, or it belongs to someone else.");
    }

    qApp->installEventFilter(this);
}

TForm1::~TForm1() = default;

void TForm1::setSecondaryWindows(TForm2* form2, TForm3* form3, TForm4* form4, TAboutForm* aboutForm) {
    form2_ = form2;
    form3_ = form3;
    form4_ = form4;
    aboutForm_ = aboutForm;
    Panel1->setViewWindow(form4);
    if (form2_) form2_->setAboutForm(aboutForm_);
    if (form3_) {
        form3_->AnyImage1->setTempDir(workspace_.workDir());
        form3_->keepGeometryIn(&largeWindow);
        connect(form3_, &TForm3::editRequested, this, &TForm1::editslot, Qt::UniqueConnection);
    }
}

std::array<corvane::TAnyImage*, 9> TForm1::views() const {
    return {AnyImage1, AnyImage2, AnyImage3, AnyImage4, AnyImage5, AnyImage6, AnyImage7, AnyImage8, AnyImage9};
}

// ---------------------------------------------------------------------------
// Building the window

void TForm1::buildControls(QWidget* client) {
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
        QPushButton** member;
        const char* name;
        const char* caption;
        const char* hint;
        QRect bounds;
        void (TForm1::*handler)();
    };
    const ButtonInfo buttons[] = {
        {&Button4, "Button4", "Load Any Image", "Load Any Image", {408, 100, 97, 20}, &TForm1::loadanyClick},
        {&Button3,
         "Button3",
         "Load Extended",
         "Load Extended Format Bitmap or AF99 Texture",
         {408, 120, 97, 20},
         &TForm1::loadcfsClick},
        {&Button2,
         "Button2",
         "Create Image Set",
         "Create a full set of SubImages from the Current Largest Image",
         {408, 140, 97, 20},
         &TForm1::Button2Click},
        {&Button9, "Button9", "Transparency", "Edit Palette Transparency", {408, 160, 97, 20}, &TForm1::getpalClick},
        {&Button10, "Button10", "Edit", "Edit Largest Image", {408, 180, 97, 20}, &TForm1::doeditClick},
        {&updatpal,
         "updatpal",
         "Update+Palette",
         "Update after Edit - Palette also updated",
         {408, 200, 97, 20},
         &TForm1::updatpalClick},
        {&Button1, "Button1", "Update", "Update Images after Edit", {408, 220, 97, 20}, &TForm1::Button1Click},
        {&Button13,
         "Button13",
         "Merge Image",
         "Load new image remapped to the current Image palette",
         {8, 376, 81, 25},
         &TForm1::Button13Click},
        {&Button20,
         "Button20",
         "Import CFS",
         "Replace Image with CFS Extended Image & Palette",
         {96, 376, 81, 25},
         &TForm1::Button20Click},
        {&Button15,
         "Button15",
         "Import Std",
         "Replace Image with Image & Palette",
         {184, 376, 81, 25},
         &TForm1::Button15Click},
        {&Button5,
         "Button5",
         "Save Extended Format Bitmap",
         "Save all displayed Images as a single Extended Format BMP",
         {272, 376, 233, 25},
         &TForm1::saveClick},
    };
    for (const ButtonInfo& b : buttons) {
        auto* button = new QPushButton(QString::fromLatin1(b.caption), client);
        button->setObjectName(QString::fromLatin1(b.name));
        button->setToolTip(QString::fromLatin1(b.hint));
        button->setGeometry(b.bounds);
        connect(button, &QPushButton::clicked, this, b.handler);
        *b.member = button;
    }
    // These need a loaded set.
    for (QPushButton* b : {Button9, Button13, Button15, Button20}) b->setEnabled(false);

    Label10 = makeLabel(client, "Label10", QStringLiteral("Bitmap"), QRect(272, 248, 185, 16));
    Label11 = makeLabel(client, "Label11", QStringLiteral("Maximum"), QRect(272, 264, 185, 16));
    Label16 = makeLabel(client, "Label16", QStringLiteral("Loaded as"), QRect(272, 280, 185, 16));
    Label17 = makeLabel(client, "Label17", QString(), QRect(272, 296, 185, 16));
    QPalette red = Label17->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    Label17->setPalette(red);
    Label12 = makeLabel(client, "Label12",
                        QStringLiteral("Double Click on any Image to Edit it in the chosen Bitmap Program"),
                        QRect(272, 320, 185, 33), Qt::AlignHCenter | Qt::AlignTop);
    Label12->setWordWrap(true);

    createLighteningEdit(client);
    createLaunchers(client);

    ProgressBar1 = new QProgressBar(client);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setGeometry(272, 360, 233, 12);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);

    // The panels cover the whole client area when their commands show them.
    createPanels(client);
}

void TForm1::createViews(QWidget* client) {
    using corvane::TAnyImage;
    struct ViewInfo {
        TAnyImage** member;
        QRect bounds;
        bool stretched;
        void (TForm1::*doubleClick)();
    };
    // The three large levels show at their own size; the small ones are
    // enlarged to their 64x64 views.
    const ViewInfo infos[] = {
        {&AnyImage1, {8, 112, 256, 256}, false, &TForm1::AnyImage1DblClick},
        {&AnyImage2, {272, 112, 128, 128}, false, &TForm1::AnyImage2Click},
        {&AnyImage3, {440, 8, 64, 64}, false, &TForm1::AnyImage3Click},
        {&AnyImage4, {368, 8, 64, 64}, true, &TForm1::AnyImage4DblClick},
        {&AnyImage5, {296, 8, 64, 64}, true, &TForm1::AnyImage5DblClick},
        {&AnyImage6, {224, 8, 64, 64}, true, &TForm1::AnyImage6DblClick},
        {&AnyImage7, {152, 8, 64, 64}, true, &TForm1::AnyImage7DblClick},
        {&AnyImage8, {80, 8, 64, 64}, true, &TForm1::AnyImage8DblClick},
        {&AnyImage9, {8, 8, 64, 64}, true, &TForm1::AnyImage9DblClick},
    };
    int number = 1;
    for (const ViewInfo& v : infos) {
        auto* view = new TAnyImage(client);
        view->setObjectName(QStringLiteral("AnyImage%1").arg(number++));
        view->setGeometry(v.bounds);
        view->setCenterOnParent(false);
        view->setStretch(v.stretched);
        // The temporary picture of a load goes beside the slots, in our own folder.
        view->setTempDir(workspace_.workDir());
        connect(view, &TAnyImage::doubleClicked, this, v.doubleClick);
        *v.member = view;
    }
}

void TForm1::createLighteningEdit(QWidget* client) {
    const QString hint = QStringLiteral("Adjust Lightening applied to subimages (Negative = Darkening)");
    NumEdit3 = new corvane::TNumEdit(client);
    NumEdit3->setObjectName(QStringLiteral("NumEdit3"));
    NumEdit3->setGeometry(464, 248, 33, 21);
    NumEdit3->setAllowMinus(true);
    NumEdit3->setNumber(-5);
    NumEdit3->setMax(100);
    NumEdit3->setMin(-100);
    NumEdit3->setToolTip(hint);
    UpDown3 = new corvane::UpDown(client);
    UpDown3->setObjectName(QStringLiteral("UpDown3"));
    UpDown3->setGeometry(497, 248, 15, 21);
    UpDown3->setRange(-50, 50);
    UpDown3->setWrap(false);
    UpDown3->setPosition(-5);
    UpDown3->setAssociate(NumEdit3);
    UpDown3->setToolTip(hint);
}

void TForm1::createLaunchers(QWidget* client) {
    using corvane::TExeButton;
    // Icon-only buttons that size themselves; a click runs the window's
    // handler rather than opening the file.
    const auto make = [client](const char* name, int top, const char* hint) {
        auto* button = new TExeButton(client);
        button->setObjectName(QString::fromLatin1(name));
        button->move(464, top);
        button->setShowLabel(false);
        button->setAuto(true);
        button->setToolTip(QString::fromLatin1(hint));
        return button;
    };
    ExeButton2 = make("ExeButton2", 274, "Batch-Convert multiple Images");
    connect(ExeButton2, &TExeButton::clicked, this, &TForm1::ExeButton2Click);
    ExeButton1 = make("ExeButton1", 314, "Select Editing Program");
    connect(ExeButton1, &TExeButton::clicked, this, &TForm1::seleditClick);
}

void TForm1::buildMenus() {
    const auto item = [this](QMenu* menu, QAction** member, const char* name, const char* caption,
                             void (TForm1::*handler)(), bool checkable = false) {
        QAction* action = menu->addAction(QString::fromLatin1(caption));
        action->setObjectName(QString::fromLatin1(name));
        action->setCheckable(checkable);
        connect(action, &QAction::triggered, this, handler);
        *member = action;
    };

    QMenu* file = menuBar()->addMenu(QStringLiteral("File   "));
    file->setObjectName(QStringLiteral("File1"));
    item(file, &loadcfs, "loadcfs", "Load Extended Bmp or AF99 Texture", &TForm1::loadcfsClick);
    item(file, &loadany, "loadany", "Load any Image", &TForm1::loadanyClick);
    item(file, &save, "save", "Save Extended Bmp", &TForm1::saveClick);
    file->addSeparator();
    item(file, &new16, "new16", "Create New 16 bit Image Set", &TForm1::new16Click);
    file->addSeparator();
    item(file, &about, "about", "About", &TForm1::aboutClick);
    file->addSeparator();
    item(file, &Quit1, "Quit1", "Quit", &TForm1::Quit1Click);

    QMenu* image = menuBar()->addMenu(QStringLiteral("Image   "));
    image->setObjectName(QStringLiteral("Image1"));
    item(image, &CreateSubImages1, "CreateSubImages1", "Create SubImages", &TForm1::Button2Click);
    item(image, &UpdateafterEdit1, "UpdateafterEdit1", "Update after Edit", &TForm1::Button1Click);
    item(image, &getpal, "getpal", "Edit Transparency", &TForm1::getpalClick);
    item(image, &doedit, "doedit", "Edit Largest Image", &TForm1::doeditClick);

    QMenu* prefs = menuBar()->addMenu(QStringLiteral("Prefs   "));
    prefs->setObjectName(QStringLiteral("Prefs1"));
    item(prefs, &seledit, "seledit", "Select Editor", &TForm1::seleditClick);
    item(prefs, &ShowHints1, "ShowHints1", "Show Hints", &TForm1::ShowHints1Click, true);
    item(prefs, &mm, "mm", "Convert 16/32 to 24 bit", &TForm1::mmClick, true);
    item(prefs, &Smooth8, "Smooth8", "Smooth 8 bit Image sets", &TForm1::Smooth8Click, true);
    Smooth8->setToolTip(QStringLiteral("Smooth the subimages created with \"Create Image Set\" with 8 bit Images"));
    item(prefs, &keepCoverage, "KeepCoverage", "Keep cut-out coverage in mips", &TForm1::keepCoverageToggled, true);
    keepCoverage->setToolTip(QStringLiteral(
        "Fences, railings and other cut-outs keep as many solid texels in the smaller levels as in the largest"));
    QMenu* importSize = prefs->addMenu(QStringLiteral("Maximum Image Import Size"));
    importSize->setObjectName(QStringLiteral("MaximumImageImportSize1"));
    item(importSize, &N512, "N512", "512x512", &TForm1::N512Click, true);
    item(importSize, &N256, "N256", "256x256", &TForm1::N256Click, true);
    item(importSize, &N128, "N128", "128x128", &TForm1::N128Click, true);
    item(importSize, &N64, "N64", "64x64", &TForm1::N64Click, true);
    importSizeGroup = new QActionGroup(this);
    importSizeGroup->setExclusive(true);
    for (QAction* a : {N512, N256, N128, N64}) importSizeGroup->addAction(a);
    N256->setChecked(true);
    prefs->addSeparator();

    QMenu* tool = menuBar()->addMenu(QStringLiteral("ImageTool"));
    tool->setObjectName(QStringLiteral("ImageTool1"));
    item(tool, &LocateImageTool1, "LocateImageTool1", "Locate ImageTool", &TForm1::LocateImageTool1Click);
    item(tool, &useitool, "useitool", "Use ImageTool for Mips", &TForm1::useitoolClick, true);
    item(tool, &showitool, "showitool", "Display ImageTool when Processing", &TForm1::showitoolClick, true);
    tool->addSeparator();
    QMenu* convert = tool->addMenu(QStringLiteral("Convert current image to"));
    convert->setObjectName(QStringLiteral("Convertcurrentimageto1"));
    item(convert, &ConvertCurrentImageto256Colours1, "ConvertCurrentImageto256Colours1", "256 Colours",
         &TForm1::ConvertCurrentImageto256Colours1Click);
    item(convert, &N16bit5651, "N16bit5651", "16bit 565", &TForm1::N16bit5651Click);
    item(convert, &N16bit4441, "N16bit4441", "16bit 444", &TForm1::N16bit4441Click);
    item(convert, &N32bit1, "N32bit1", "32 bit", &TForm1::N32bit1Click);

    menus_ = {file, image, prefs, tool};
}

void TForm1::buildDialogs() {
    const auto make = [](const char* name, FileDialog::Kind kind, const QString& filter, const char* extension,
                         bool confirmOverwrite = false) {
        FileDialog d;
        d.name = QString::fromLatin1(name);
        d.kind = kind;
        d.filter = filter;
        d.defaultExtension = QString::fromLatin1(extension);
        d.confirmOverwrite = confirmOverwrite;
        return d;
    };
    using K = FileDialog::Kind;
    opencfs = make("opencfs", K::Open,
                   QStringLiteral("Windows Bitmap|*.bmp|AF99 Texture File|*.?af|Any R8 Texture File|*.*"), ".bmp");
    openstd = make("openstd", K::Open, QString(), ".bmp");
    savebmp = make("savebmp", K::Save, QStringLiteral("Windows Bitmap|*.bmp"), ".bmp", true);
    map = make("map", K::Open, QStringLiteral("Transparency Map|*.mpt"), "mpt");
    smap = make("smap", K::Save, QStringLiteral("Transparency Map|*.mpt"), "mpt", true);
    merge = make("merge", K::Open, QString(), "bmp");
    editselect = make("editselect", K::Open, QString::fromLatin1(kProgramsFilter), "");
    itool = make("itool", K::Open, QString::fromLatin1(kProgramsFilter), "");
}

// ---------------------------------------------------------------------------
// Settings

void TForm1::applySettings(const corvane::Settings& s) {
    opencfs.initialFolder = s.cfsDir;
    openstd.initialFolder = s.stdDir;
    savebmp.initialFolder = s.saveDir;
    map.initialFolder = s.mapDir;
    smap.initialFolder = s.mapDir;
    batchFolder = s.batchDir;
    destFolder = s.destDir;
    openstd.filterIndex = s.filter;
    editselect.fileName = s.editor;
    itool.fileName = s.imageTool;
    move(s.left, s.top);
    largeWindow = {s.left512, s.top512, s.width512, s.height512};
    Smooth8->setChecked(s.smooth8bit);
    keepCoverage->setChecked(s.keepCoverage);
    ShowHints1->setChecked(s.hints);
    ShowHints1Click();
    useitool->setChecked(s.useImageTool);
    showitool->setChecked(s.showImageTool);
    mm->setChecked(s.convert24bit);
    setLightening(s.lightening);
    checkImportSize(s.maxImport);
}

corvane::Settings TForm1::currentSettings() const {
    corvane::Settings s;
    s.cfsDir = opencfs.initialFolder;
    s.stdDir = openstd.initialFolder;
    s.saveDir = savebmp.initialFolder;
    s.mapDir = map.initialFolder;
    s.mergeDir = merge.initialFolder;
    s.batchDir = batchFolder;
    s.destDir = destFolder;
    s.filter = openstd.filterIndex;
    s.editor = editselect.fileName;
    s.imageTool = itool.fileName;
    s.left = x();
    s.top = y();
    s.left512 = largeWindow.left;
    s.top512 = largeWindow.top;
    s.width512 = largeWindow.width;
    s.height512 = largeWindow.height;
    s.smooth8bit = Smooth8->isChecked();
    s.keepCoverage = keepCoverage->isChecked();
    s.hints = ShowHints1->isChecked();
    s.useImageTool = useitool->isChecked();
    s.showImageTool = showitool->isChecked();
    s.convert24bit = mm->isChecked();
    s.lightening = storedLightening(NumEdit3->number());
    s.maxImport = maxImportSize;
    return s;
}

int32_t TForm1::lightening() const { return int32_t(std::trunc(NumEdit3->number())); }

void TForm1::setLightening(int32_t value) { NumEdit3->setNumber(value); }

bool TForm1::hintsShown() const { return showHints_; }

void TForm1::checkImportSize(int32_t size) {
    maxImportSize = corvane::importSizeFromStored(size);
    switch (maxImportSize) {
        case 512:
            N512->setChecked(true);
            break;
        case 128:
            N128->setChecked(true);
            break;
        case 64:
            N64->setChecked(true);
            break;
        default:
            N256->setChecked(true);
            break;
    }
}

void TForm1::showLauncherFiles() {
    ExeButton1->setFileName(editselect.fileName);
    ExeButton1->setToolTip("Select Editing Program (Currently " + fileNameOnly(editselect.fileName) + ")");
    ExeButton2->setFileName(destFolder);
}

// ---------------------------------------------------------------------------
// Dialogs, hints, closing

corvane::FileChoice TForm1::runDialog(FileDialog& dialog) {
    const corvane::FileChoice choice = prompts_.chooseFile(dialog);
    if (choice.chosen) {
        dialog.fileName = choice.path;
        dialog.filterIndex = choice.filterIndex;
    }
    return choice;
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ToolTip && !showHints_ && watched->isWidgetType()) {
        // Menus are windows of their own, so follow the parents up.
        for (QObject* o = watched; o; o = o->parent())
            if (o == this) return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (!settleUnsavedChanges()) {
        event->ignore();
        return;
    }
    FormClose();
    event->accept();
    emit closed();
}

void TForm1::FormClose() {
    // Hiding the large window copies its place into the kept geometry.
    if (form3_) form3_->hide();
    corvane::writeSettings(store_, currentSettings());
    store_.sync();
    workspace_.clearSlots();
    clearViews();
}

void TForm1::clearViews() {
    // An empty name makes the next assignment of a slot load it again.
    if (form3_) form3_->AnyImage1->setFileName(QString());
    for (corvane::TAnyImage* view : views()) view->setFileName(QString());
}

// ---------------------------------------------------------------------------
// Preference commands.  Qt has already toggled a check item when its handler
// runs, so the handlers act on the check mark as it now stands.

void TForm1::ShowHints1Click() {
    showHints_ = ShowHints1->isChecked();
    for (QMenu* menu : menus_)
        if (menu) menu->setToolTipsVisible(showHints_);
}

void TForm1::mmClick() {}
void TForm1::Smooth8Click() {}
// The check mark is the setting; the chain builder reads it when it runs.
void TForm1::keepCoverageToggled() {}
void TForm1::useitoolClick() {}
void TForm1::showitoolClick() {}

void TForm1::N512Click() { checkImportSize(512); }
void TForm1::N256Click() { checkImportSize(256); }
void TForm1::N128Click() { checkImportSize(128); }
void TForm1::N64Click() { checkImportSize(64); }

void TForm1::LocateImageTool1Click() {
    itool.initialFolder = folderOf(itool.fileName);
    runDialog(itool);
}

void TForm1::Quit1Click() { close(); }

void TForm1::aboutClick() {
    if (!form2_) return;
    // Before its first showing the text window's frame is unknown; it gets the
    // same decoration as this window.
    QSize outer = form2_->frameGeometry().size();
    if (outer == form2_->size()) outer += frameGeometry().size() - size();
    form2_->move(corvane::centredOver(frameGeometry(), outer));
    form2_->exec();
}

// Editing and refreshing the views live in editing.cpp.
