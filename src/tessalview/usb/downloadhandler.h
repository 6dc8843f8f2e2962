#ifndef TESSAL_DOWNLOADHANDLER_H
#define TESSAL_DOWNLOADHANDLER_H

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

class QFile;
class QTimer;
class QNetworkReply;
class QUrl;
class QWidget;

namespace Tessal
{

class ProgressPopup;

// Saves content that the web engine cannot display to the USB drive: asks the
// user to confirm the file name, makes the drive writable, writes the data as
// it arrives, syncs the file and makes the drive read-only again. Serves one
// download at a time.
class DownloadHandler : public QObject
{
    Q_OBJECT

public:
    // `mainWindow` is the parent of the dialogs and popups; it is not owned.
    explicit DownloadHandler(QWidget* mainWindow);
    ~DownloadHandler() override;

    // Takes ownership of `reply`. True when the download was started (or
    // completed at once); false when it ended without saving anything.
    bool start(QNetworkReply* reply);

    // Runs "usbremount.sh rw" or "usbremount.sh ro" from the script directory
    // when it is there. Always true: a missing script is not an error.
    bool remountUsb(bool rw);

    // A file name sent by a server is untrusted: this keeps its last path
    // component without surrounding quotes, and returns an empty string for
    // a name that cannot be a plain file in the drive directory.
    static QString safeFileName(const QString& name);

    // The name under which the reply's content is saved: the
    // Content-Disposition file name, else the URL's last path component,
    // else the current local time "yyyyMMdd-hhmmss". Never a path.
    static QString fileNameFor(const QByteArray& contentDisposition, const QUrl& url);

    // `name` itself when no entry of that name exists in `directory`, else the
    // first free "base-N.suffix" (N = 1, 2, ...).
    static QString uniqueFileName(const QString& directory, const QString& name);

    // What the user is told when the drive refused a write with the system
    // error `err`: the drive is full, read-only or was removed; other errors
    // by the system's own text.
    static QString driveFailure(int err);

    // A download that receives nothing for this long (a device that went
    // away without closing the connection) is ended as failed, so the
    // modal progress bar never holds the kiosk for good.
    static int stallTimeoutMs;

signals:
    // Each start() ends with its result: true when a download was started.
    void handled(bool started);

public slots:
    void downloadProgress(qint64 bytesRead, qint64 bytesTotal);
    void downloadFinished();

private slots:
    void writeAvailableData();
    void replyFinished();
    void transferStalled();

private:
    bool begin(QNetworkReply* reply);
    // Moves what the reply holds into the file; false once writing failed.
    bool saveAvailableData();
    void showMessage(const QString& text);
    // Cancels a release of the reply that someone else has scheduled.
    void keepReply();
    // Aborts and releases the reply without saving anything.
    void releaseReply();
    // Closes and deletes the partial file after a failed download.
    void discardFile();
    void closeProgressPopup();
    // Sets the progress bar to the share of the announced length saved so
    // far; with no length announced the bar stays as it is.
    void showSavedProgress();

    QWidget* mainWindow;
    ProgressPopup* progressPopup = nullptr;
    // Guarded: the page releases every reply its manager reports finished,
    // which may happen while the confirmation dialog is open.
    QPointer<QNetworkReply> reply;
    QFile* file = nullptr;
    // Restarted by every piece of data while the progress bar is up.
    QTimer* stallTimer = nullptr;
    // From start() until the download has ended, drive read-only again.
    bool running = false;
    // A reply that finished before the file was open leaves its content and
    // outcome here.
    bool replyDone = false;
    QByteArray pendingData;
    QString networkError;
    qint64 bytesSaved = 0;
    // The Content-Length the server announced, -1 when it sent none.
    qint64 expectedBytes = -1;
    // Set when writing to the drive failed; the download ends as failed.
    QString writeError;
    // The cause of that failure, for the user's message.
    QString writeCause;
    // Records a failed write, flush, sync or close of the file.
    void driveRefused(const char* what, int err);
};

} // namespace Tessal

#endif
