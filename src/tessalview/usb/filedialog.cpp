#include "filedialog.h"

#include "drivewriter.h"
#include "logging.h"
#include "settings.h"
#include "ui_filedialog.h"

#include "screensaver.h"
#include "timedpopup.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>

namespace Tessal
{

namespace
{

void showMessage(QWidget* parent, const QString& text)
{
    TimedPopup popup(text, parent);
    popup.exec();
}

// False, with the user told why, when the drive may not be used.
bool driveUsable(QWidget* parent, const DriveState_s& drive)
{
    switch (drive.presence) {
    case DriveState_s::Present:
        return true;
    case DriveState_s::NotMounted:
        showMessage(parent, Settings::getUIMsgUSBDriveNotMounted());
        return false;
    case DriveState_s::Unsafe:
        qCInfo(lcUsb).noquote() << QString("Upload canceled: USB drive at '%1' refused: "
                                           "mounted without %2")
                                       .arg(Settings::getFilesDirectory(),
                                            drive.missingOptions.join(", "));
        showMessage(parent, Settings::getUIMsgUSBDriveUnsafe());
        return false;
    }
    return false;
}

} // namespace

FileDialog::FileDialog(bool download, const QString& filename, QWidget* parent)
    : QDialog(parent), ui(new Ui::FileDialog), download(download), filename(filename)
{
    ui->setupUi(this);
    ui->lblFile->setText(Settings::getUITextFilename());
    ui->lblFileValue->setText(filename);

    if (download) {
        setWindowTitle(Settings::getUITextDownload());
        ui->listFiles->setSelectionMode(QAbstractItemView::NoSelection);
        // The proposed name can be changed: an edit field in the label's
        // place, typed into with the on-screen keyboard.
        nameEdit = new QLineEdit(filename, this);
        nameEdit->setObjectName("editFileName");
        nameEdit->setGeometry(ui->lblFileValue->geometry());
        nameEdit->setFont(ui->lblFileValue->font());
        nameEdit->setInputMethodHints(Qt::ImhNoAutoUppercase | Qt::ImhNoPredictiveText);
        ui->lblFileValue->hide();
        connect(nameEdit, &QLineEdit::textChanged, this, [this](const QString& text) {
            this->filename = text;
            ui->lblFileValue->setText(text);
        });
    } else {
        setWindowTitle(Settings::getUITextUpload());
        ui->listFiles->setSelectionMode(QAbstractItemView::SingleSelection);
    }

    ui->buttonBox->button(QDialogButtonBox::Ok)->setText(Settings::getUITextOK());
    ui->buttonBox->button(QDialogButtonBox::Cancel)->setText(Settings::getUITextCancel());
    setFixedSize(size());
    // Frameless and without decorations. Not the splash-screen window type:
    // a dialog of that type is hidden by OK or Cancel but its modal run
    // never returns, which would freeze the kiosk.
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);

    // Only plain files: hidden files are the drive's housekeeping, and a
    // symbolic link could lead an upload to a file outside the drive.
    const QDir dir(Settings::getFilesDirectory());
    ui->listFiles->addItems(
        dir.entryList(QDir::Files | QDir::NoSymLinks | QDir::NoDotAndDotDot, QDir::Name));

    // Scroll bars wide enough for a finger.
    const QString css = QStringLiteral("QScrollBar:vertical { width: 32; } "
                                       "QScrollBar:handle:vertical { min-height: 32; } "
                                       "QScrollBar:horizontal { height: 32px; } "
                                       "QScrollBar:handle:horizontal { min-width: 32; } ");
    ui->listFiles->verticalScrollBar()->setStyleSheet(css);
    ui->listFiles->horizontalScrollBar()->setStyleSheet(css);

    setMouseTracking(true);
    ScreenSaver::instance()->handleMouseMove(this);
}

FileDialog::~FileDialog()
{
    delete ui;
}

void FileDialog::on_listFiles_itemSelectionChanged()
{
    if (download)
        return;
    const QList<QListWidgetItem*> selected = ui->listFiles->selectedItems();
    if (selected.isEmpty())
        return;
    filename = selected.first()->text();
    ui->lblFileValue->setText(filename);
}

QString FileDialog::chooseUploadFile(QWidget* mainWindow)
{
    if (!driveUsable(mainWindow, DriveWriter::check()))
        return QString();

    FileDialog dialog(false, QString(), mainWindow);
    if (dialog.exec() != QDialog::Accepted) {
        qCInfo(lcUsb).noquote() << "Upload: no file chosen";
        return QString();
    }

    const QString name = dialog.getFilename();
    if (name.isEmpty()) {
        qCInfo(lcUsb).noquote() << "Upload: no file chosen";
        showMessage(mainWindow, Settings::getUIMsgNoFileSelected());
        return QString();
    }
    // The drive may have been pulled while the dialog was open.
    const QString path = QDir(Settings::getFilesDirectory()).absoluteFilePath(name);
    const DriveState_s drive = DriveWriter::check();
    if (drive.presence != DriveState_s::Present || !QFileInfo(path).isFile()) {
        qCInfo(lcUsb).noquote() << "Upload: no file chosen";
        if (drive.presence == DriveState_s::Present)
            showMessage(mainWindow, Settings::getUIMsgUSBDriveNotMounted());
        else
            driveUsable(mainWindow, drive);
        return QString();
    }
    qCInfo(lcUsb).noquote() << QString("Upload of '%1'").arg(path);
    return path;
}

} // namespace Tessal
