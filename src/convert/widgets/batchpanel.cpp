#include "batchpanel.h"

#include "batch.h"
#include "fileaccess.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStorageInfo>

namespace corvane {

namespace {

QLabel* label(QWidget* parent, const QString& name, const QString& text, const QRect& bounds) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    l->setGeometry(bounds);
    return l;
}

QPushButton* button(QWidget* parent, const QString& name, const QString& text, const QRect& bounds) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name);
    b->setGeometry(bounds);
    return b;
}

}  // namespace

FolderChooser::FolderChooser(QComboBox* drives, QListWidget* folders, QLabel* shown, QObject* parent)
    : QObject(parent), drives_(drives), folders_(folders), shown_(shown) {
    drives_->addItems(FolderChooser::drives());
    connect(drives_, &QComboBox::activated, this, [this](int index) { setFolder(drives_->itemText(index)); });
    connect(folders_, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem* item) { setFolder(QDir(folder_).absoluteFilePath(item->text())); });
}

QStringList FolderChooser::drives() {
    QStringList out;
#ifdef _WIN32
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes())
        if (volume.isValid() && volume.isReady()) out << QDir::toNativeSeparators(volume.rootPath());
#else
    out << QStringLiteral("/") << QDir::homePath();
#endif
    return out;
}

bool FolderChooser::setFolder(const QString& folder) {
    const QFileInfo info(folder);
    if (folder.isEmpty() || !info.isDir()) return false;
    folder_ = QDir::cleanPath(info.absoluteFilePath());
    fill();
    emit folderChanged(folder_);
    return true;
}

void FolderChooser::fill() {
    folders_->clear();
    QDir dir(folder_);
    if (!dir.isRoot()) folders_->addItem(QStringLiteral(".."));
    folders_->addItems(dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase));
    shown_->setText(QDir::toNativeSeparators(folder_));
    shown_->setToolTip(shown_->text());
}

BatchPanel::BatchPanel(QWidget* parent) : QWidget(parent) {
    setObjectName("Panel3");
    setAutoFillBackground(true);
    hide();

    label(this, "Label23", "Source Folder", {8, 4, 240, 16});
    auto* sourceDrives = new QComboBox(this);
    sourceDrives->setObjectName("DriveComboBox1");
    sourceDrives->setGeometry(8, 22, 240, 22);
    auto* sourceFolders = new QListWidget(this);
    sourceFolders->setObjectName("dirbox1");
    sourceFolders->setGeometry(8, 48, 240, 104);
    auto* sourceShown = label(this, "Label22", QString(), {8, 154, 240, 16});
    source = new FolderChooser(sourceDrives, sourceFolders, sourceShown, this);

    label(this, "Label24", "Source Image Files", {8, 174, 240, 16});
    fileList = new QListWidget(this);
    fileList->setObjectName("filebox");
    fileList->setGeometry(8, 192, 240, 148);
    fileList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    connect(button(this, "getallfor_mat", "Select All", {8, 344, 117, 24}), &QPushButton::clicked, this,
            [this] { selectAll(); });
    connect(button(this, "invert", "Invert", {131, 344, 117, 24}), &QPushButton::clicked, this,
            [this] { invertSelection(); });
    connect(source, &FolderChooser::folderChanged, this, [this] { refreshFiles(); });

    label(this, "Label21", "Destination Folder for Converted Images", {264, 4, 245, 16});
    auto* destinationDrives = new QComboBox(this);
    destinationDrives->setObjectName("DriveComboBox2");
    destinationDrives->setGeometry(264, 22, 245, 22);
    auto* destinationFolders = new QListWidget(this);
    destinationFolders->setObjectName("dirbox2");
    destinationFolders->setGeometry(264, 48, 245, 104);
    auto* destinationShown = label(this, "Label19", QString(), {264, 154, 245, 16});
    destination = new FolderChooser(destinationDrives, destinationFolders, destinationShown, this);

    auto* title = label(this, "Label25", "Batch Image Conversion", {264, 180, 245, 20});
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    auto* instructions = label(this, "Label26",
                               "Convert multiple normal Windows Bitmap Images to Extended Format Bitmaps. Use the "
                               "Shift or Ctrl keys to Multi-select (Shift to select a range and Ctrl to select "
                               "multiple individual images). Converted images will be saved with the same filename .",
                               {264, 204, 245, 136});
    instructions->setWordWrap(true);
    instructions->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    writeDdsBox = new QCheckBox(QStringLiteral("Write DDS"), this);
    writeDdsBox->setObjectName("writeDds");
    // As wide as its caption, so that a click beside it does not check it.
    writeDdsBox->move(264, 346);
    writeDdsBox->adjustSize();
    writeDdsBox->setToolTip(
        QStringLiteral("Save each converted set as a DirectDraw Surface (name.dds) in place of an Extended Bitmap"));

    exitButton = button(this, "Button18", "Exit", {8, 378, 117, 25});
    convertColour0Button = button(this, "Button19", "Convert - Colour 0 Transparent", {131, 378, 190, 25});
    convertButton = button(this, "convert", "Convert Selected Images", {327, 378, 182, 25});
    connect(exitButton, &QPushButton::clicked, this, &BatchPanel::exitRequested);
    connect(convertColour0Button, &QPushButton::clicked, this, [this] { emit convertRequested(true); });
    connect(convertButton, &QPushButton::clicked, this, [this] { emit convertRequested(false); });
}

void BatchPanel::open() {
    if (parentWidget()) setGeometry(parentWidget()->rect());
    refreshFiles();
    show();
    raise();
}

void BatchPanel::refreshFiles() {
    // Keep the selection of files that are still there.
    const QStringList selected = selectedNames();
    fileList->clear();
    if (source->folder().isEmpty()) return;
    // "*.bmp" in any case of the extension, as painters' files come, under
    // whatever bytes the names have: shown readably, kept exactly.
    for (const QString& name : bitmapsIn(source->folder())) {
        auto* item = new QListWidgetItem(readableName(name), fileList);
        item->setData(Qt::UserRole, name);
        item->setSelected(selected.contains(name));
    }
}

void BatchPanel::selectAll() {
    for (int i = 0; i < fileList->count(); ++i) fileList->item(i)->setSelected(true);
}

void BatchPanel::invertSelection() {
    for (int i = 0; i < fileList->count(); ++i) fileList->item(i)->setSelected(!fileList->item(i)->isSelected());
}

QStringList BatchPanel::selectedNames() const {
    QStringList names;
    for (int i = 0; i < fileList->count(); ++i)
        if (fileList->item(i)->isSelected()) names << fileList->item(i)->data(Qt::UserRole).toString();
    return names;
}

}  // namespace corvane
