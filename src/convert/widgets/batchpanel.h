// The batch panel: source folder and its BMP files on the left, destination
// folder on the right, the three commands along the bottom.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;

namespace corvane {

// A drive chooser and a folder list that walks into sub-folders on a double
// click; the label under it shows the current folder.
class FolderChooser : public QObject {
    Q_OBJECT
public:
    FolderChooser(QComboBox* drives, QListWidget* folders, QLabel* shown, QObject* parent);
    QString folder() const { return folder_; }
    // False (and nothing changed) when the folder does not exist.
    bool setFolder(const QString& folder);
    // The mounted volumes, or on Unix the root and the home folder.
    static QStringList drives();
signals:
    void folderChanged(const QString& folder);

private:
    void fill();
    QComboBox* drives_;
    QListWidget* folders_;
    QLabel* shown_;
    QString folder_;
};

class BatchPanel : public QWidget {
    Q_OBJECT
public:
    explicit BatchPanel(QWidget* parent);

    FolderChooser* source = nullptr;
    FolderChooser* destination = nullptr;
    QListWidget* fileList = nullptr;  // the source folder's BMP files
    QPushButton* exitButton = nullptr;
    QPushButton* convertColour0Button = nullptr;  // "Convert - Colour 0 Transparent"
    QPushButton* convertButton = nullptr;         // "Convert Selected Images"
    QCheckBox* writeDdsBox = nullptr;             // "Write DDS": name.dds in place of name.bmp

    // Opens the panel over the parent's client area.
    void open();
    void selectAll();
    void invertSelection();
    // The selected files in list order.
    QStringList selectedNames() const;
    // Re-reads the source folder's "*.bmp" files.
    void refreshFiles();

signals:
    void exitRequested();
    void convertRequested(bool colour0Transparent);
};

}  // namespace corvane
