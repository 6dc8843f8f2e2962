#ifndef TESSAL_FILEDIALOG_H
#define TESSAL_FILEDIALOG_H

#include <QDialog>
#include <QString>

class QLineEdit;

namespace Ui
{
class FileDialog;
}

namespace Tessal
{

// The large-font dialog of the USB drive: confirms the name of a download, or
// lets the user pick one of the drive's files to upload.
class FileDialog : public QDialog
{
    Q_OBJECT

public:
    // `download` true: download mode, `filename` is the proposed name, which
    // the user may edit, and the list only shows what is on the drive. false: upload mode, the user
    // selects one file of the list.
    FileDialog(bool download, const QString& filename, QWidget* parent = nullptr);
    ~FileDialog() override;

    QString getFilename() const { return filename; }

    // The upload side of a web form's file field: checks the drive as a
    // download does (DriveWriter::check), lets the user pick a file and
    // returns its absolute path, or an empty string when nothing is to be
    // uploaded. The drive is not remounted for an upload.
    static QString chooseUploadFile(QWidget* mainWindow);

private slots:
    void on_listFiles_itemSelectionChanged();

private:
    Ui::FileDialog* ui;
    bool download;
    QString filename;
    QLineEdit* nameEdit = nullptr;
};

} // namespace Tessal

#endif
