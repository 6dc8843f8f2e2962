#ifndef TESSAL_DOWNLOADHANDLER_H
#define TESSAL_DOWNLOADHANDLER_H

#include "drivewriter.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

class QTimer;
class QNetworkReply;
class QUrl;
class QWidget;

namespace Tessal
{

class ProgressPopup;

// Saves content that the web engine cannot display to the USB drive: asks the
// user to confirm the file name, makes the drive writable, hands the data to
// the drive writer as it arrives and makes the drive read-only again; every
// outcome is told to the user. Serves one download at a time.
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
    // when it is there. True whether or not the script ran.
    bool remountUsb(bool rw);

    // A file name sent by a server is untrusted: this keeps its last path
    // component without surrounding quotes, and returns an empty string for
    // a name that cannot be a plain file in the drive directory.
    static QString safeFileName(const QString& name);

    // The name under which the reply's content is saved: the
    // Content-Disposition file name, else the URL's last path component,
    // else the current local time "yyyyMMdd-hhmmss". Never a path.
    static QString fileNameFor(const QByteArray& contentDisposition, const QUrl& url);

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
    // Makes the handler the owner of `reply` for one download.
    void takeReply(QNetworkReply* reply);
    // False, with the user told why, when the drive may not be used.
    bool driveUsable(const DriveState_s& drive);
    // Opens the file; on failure tells the user and returns the drive to
    // read-only.
    bool openTarget(const QString& directory, const QString& name);
    // Puts up the progress bar and saves what arrives from now on.
    void startReceiving();
    // Moves what the reply holds into the file; false once writing failed.
    bool saveAvailableData();
    void showMessage(const QString& text);
    // Cancels a release of the reply that someone else has scheduled.
    void keepReply();
    // Ends the download from the event loop, once (see downloadFinished()).
    void endSoon();
    // Aborts and releases the reply without saving anything.
    void releaseReply();
    void closeProgressPopup();
    // Sets the progress bar to the share of the announced length saved so
    // far; with no length announced the bar stays as it is.
    void showSavedProgress();

    QWidget* mainWindow;
    ProgressPopup* progressPopup = nullptr;
    // Guarded: the page releases every reply its manager reports finished,
    // which may happen while the confirmation dialog is open.
    QPointer<QNetworkReply> reply;
    // The file on the drive while a download is being saved.
    DriveWriter writer;
    // Restarted by every piece of data while the progress bar is up.
    QTimer* stallTimer = nullptr;
    // From start() until the download has ended, drive read-only again.
    bool running = false;
    // A reply that finished before the file was open leaves its content and
    // outcome here.
    bool replyDone = false;
    // downloadFinished() is queued and has not run yet.
    bool endQueued = false;
    QByteArray pendingData;
    QString networkError;
    // The Content-Length the server announced, -1 when it sent none.
    qint64 expectedBytes = -1;
};

} // namespace Tessal

#endif
