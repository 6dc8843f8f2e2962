#include "downloadhandler.h"

#include "clock.h"
#include "filedialog.h"
#include "logging.h"
#include "scriptrunner.h"
#include "settings.h"

#include "progresspopup.h"
#include "timedpopup.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace Tessal
{

namespace
{

// What the reply may hold while the user is asked.
constexpr qint64 ReplyBufferSize = 4 * 1024 * 1024;
// Data is moved from the reply to the file in pieces of this size.
constexpr qint64 WriteChunkSize = 256 * 1024;

bool isQuote(QChar c)
{
    return c == QLatin1Char('"') || c == QLatin1Char('\'');
}

QString stripQuotesAndBlanks(QString text)
{
    int begin = 0;
    int end = text.size();
    while (begin < end && (text.at(begin).isSpace() || isQuote(text.at(begin))))
        ++begin;
    while (end > begin && (text.at(end - 1).isSpace() || isQuote(text.at(end - 1))))
        --end;
    return text.mid(begin, end - begin);
}

} // namespace

int DownloadHandler::stallTimeoutMs = 60000;

DownloadHandler::DownloadHandler(QWidget* mainWindow)
    : QObject(nullptr), mainWindow(mainWindow), stallTimer(new QTimer(this))
{
    stallTimer->setSingleShot(true);
    connect(stallTimer, &QTimer::timeout, this, &DownloadHandler::transferStalled);
}

DownloadHandler::~DownloadHandler()
{
    if (reply) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
        reply = nullptr;
    }
    if (file) {
        // An unfinished download leaves nothing half-written on the drive.
        discardFile();
        remountUsb(false);
    }
    closeProgressPopup();
}

QString DownloadHandler::safeFileName(const QString& name)
{
    QString result = stripQuotesAndBlanks(name);
    // Only the last path component, whichever separator the server used.
    const int slash =
        std::max(result.lastIndexOf(QLatin1Char('/')), result.lastIndexOf(QLatin1Char('\\')));
    result = stripQuotesAndBlanks(result.mid(slash + 1));
    for (QChar& c : result) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char('_');
    }
    if (result == QLatin1String(".") || result == QLatin1String(".."))
        return QString();
    return result;
}

QString DownloadHandler::fileNameFor(const QByteArray& contentDisposition, const QUrl& url)
{
    QString name;
    const QStringList parts =
        QString::fromUtf8(contentDisposition).split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        const QString trimmed = part.trimmed();
        if (trimmed.startsWith(QLatin1String("filename=")))
            name = trimmed.mid(9).trimmed();
    }
    name = safeFileName(name);
    if (name.isEmpty())
        name = safeFileName(url.fileName());
    if (name.isEmpty()) {
        name = QDateTime::currentDateTime().toString("yyyyMMdd-hhmmss");
        qCInfo(lcUsb).noquote() << QString("No filename specified, using '%1'").arg(name);
    }
    return name;
}

QString DownloadHandler::uniqueFileName(const QString& directory, const QString& name)
{
    const QDir dir(directory);
    // A dangling symbolic link counts as taken: writing through it would
    // create a file somewhere else.
    auto taken = [&dir](const QString& candidate) {
        const QFileInfo info(dir.filePath(candidate));
        return info.exists() || info.isSymLink();
    };
    if (!taken(name))
        return name;
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    const QString base = dot >= 0 ? name.left(dot) : name;
    const QString suffix = dot >= 0 ? name.mid(dot + 1) : QString();
    for (int n = 1;; ++n) {
        const QString candidate = QString("%1-%2.%3").arg(base).arg(n).arg(suffix);
        if (!taken(candidate))
            return candidate;
    }
}

QString DownloadHandler::driveFailure(int err)
{
    // A drive pulled out while written shows up as an I/O error, a missing
    // directory or a missing device; the marker file tells for sure.
    if (!FileDialog::driveMounted())
        return Settings::getUIMsgUSBDriveRemoved();
    switch (err) {
    case ENOSPC:
    case EDQUOT:
        return Settings::getUIMsgUSBDriveFull();
    case EROFS:
        return Settings::getUIMsgUSBDriveReadOnly();
    case EIO:
    case ENODEV:
    case ENXIO:
    case ENOENT:
        return Settings::getUIMsgUSBDriveRemoved();
    default:
        return QString::fromLocal8Bit(std::strerror(err));
    }
}

void DownloadHandler::driveRefused(const char* what, int err)
{
    if (!writeError.isEmpty())
        return;
    writeCause = driveFailure(err);
    writeError = QString::fromLocal8Bit(std::strerror(err));
    qCCritical(lcUsb).noquote() << QString("%1 - Error %2 file '%3': %4 (%5)")
                                       .arg(Clock::now(), QString::fromLatin1(what),
                                            file->fileName(), writeCause, writeError);
}

void DownloadHandler::showMessage(const QString& text)
{
    TimedPopup popup(text, mainWindow);
    popup.exec();
}

void DownloadHandler::releaseReply()
{
    stallTimer->stop();
    if (reply) {
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    reply = nullptr;
    replyDone = false;
    pendingData.clear();
    running = false;
}

void DownloadHandler::discardFile()
{
    if (!file)
        return;
    file->close();
    if (!file->remove()) {
        qCCritical(lcUsb).noquote()
            << QString("%1 - Error removing the incomplete file '%2': %3")
                   .arg(Clock::now(), file->fileName(), file->errorString());
    }
    file->deleteLater();
    file = nullptr;
}

void DownloadHandler::closeProgressPopup()
{
    if (!progressPopup)
        return;
    progressPopup->close();
    progressPopup->deleteLater();
    progressPopup = nullptr;
}

bool DownloadHandler::start(QNetworkReply* newReply)
{
    const bool started = begin(newReply);
    emit handled(started);
    return started;
}

bool DownloadHandler::begin(QNetworkReply* newReply)
{
    qCInfo(lcUsb).noquote() << QString("Download request for '%1'").arg(newReply->url().toString());

    if (running) {
        // One download at a time: the second request is refused, the running
        // one goes on.
        qCInfo(lcUsb).noquote() << "Download refused: another download is in progress";
        newReply->abort();
        newReply->deleteLater();
        return false;
    }

    running = true;
    reply = newReply;
    reply->setParent(this);
    replyDone = false;
    pendingData.clear();
    networkError.clear();
    writeError.clear();
    writeCause.clear();
    bytesSaved = 0;
    // A close of the connection may be reported as a normal end even when
    // less than the announced length arrived: the length is checked at the
    // end. (Qt drops the header when it decompresses the body itself.)
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    expectedBytes = length.isValid() ? length.toLongLong() : -1;
    // Nobody reads the reply while the dialog below is open: ask Qt to hold
    // no more than this meanwhile (a reply already under way may take more).
    reply->setReadBufferSize(ReplyBufferSize);
    keepReply();
    // Connected before the dialog: a reply that finishes while the user is
    // asked is kept, with its content, until the answer.
    connect(reply, &QNetworkReply::finished, this, &DownloadHandler::replyFinished);

    if (!FileDialog::driveMounted()) {
        qCInfo(lcUsb).noquote() << "Download canceled: USB drive not mounted";
        showMessage(Settings::getUIMsgUSBDriveNotMounted());
        releaseReply();
        return false;
    }

    const QString directory = Settings::getFilesDirectory();
    const QString name = uniqueFileName(
        directory, fileNameFor(reply->rawHeader("Content-Disposition"), reply->url()));

    {
        FileDialog dialog(true, name, mainWindow);
        if (dialog.exec() != QDialog::Accepted) {
            qCInfo(lcUsb).noquote() << "Download canceled by user";
            releaseReply();
            return false;
        }
    }

    qCDebug(lcUsb) << "Rw-remount the usb drive";
    remountUsb(true);

    const QString path = QDir(directory).absoluteFilePath(name);
    qCInfo(lcUsb).noquote() << QString("File will be saved to '%1'").arg(path);

    // NewOnly: never truncate a file that appeared meanwhile, never follow a
    // symbolic link out of the drive.
    // Unbuffered: every write reaches the system at once, so a refusal is
    // seen with the system's own reason (a full drive, a read-only one).
    file = new QFile(path);
    int err = ENODEV;
    bool opened = false;
    // A drive pulled while the user was asked leaves its mount point behind
    // as a directory of the unit's own disk: nothing is saved there.
    if (FileDialog::driveMounted()) {
        errno = 0;
        opened = file->open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered);
        err = errno;
    }
    if (!opened) {
        delete file;
        file = nullptr;
        releaseReply();
        qCCritical(lcUsb).noquote()
            << QString("%1 - Error opening file '%2' for writing.").arg(Clock::now(), path);
        // A name taken meanwhile is the file's problem; a full, read-only or
        // pulled drive is the drive's, and the user is told which.
        const bool driveProblem = err == ENOSPC || err == EDQUOT || err == EROFS || err == EIO ||
                                  err == ENODEV || err == ENXIO || err == ENOENT ||
                                  !FileDialog::driveMounted();
        if (driveProblem) {
            const QString cause = driveFailure(err);
            qCInfo(lcUsb).noquote() << QString("Download failed: %1 (%2)")
                                           .arg(cause, QString::fromLocal8Bit(std::strerror(err)));
            showMessage(Settings::getUIMsgError() + ": " + cause);
        } else {
            showMessage(QString(Settings::getUIMsgFailedToOpenFile()).replace("%1", path));
        }
        qCDebug(lcUsb) << "Ro-remount the usb drive";
        remountUsb(false);
        running = false;
        return false;
    }

    if (replyDone || !reply) {
        // Everything arrived while the dialog was open.
        replyDone = true;
        if (!reply && networkError.isEmpty() && pendingData.isEmpty())
            networkError = QStringLiteral("Download interrupted");
        downloadFinished();
        return true;
    }

    connect(reply, &QNetworkReply::downloadProgress, this, &DownloadHandler::downloadProgress);
    connect(reply, &QNetworkReply::readyRead, this, &DownloadHandler::writeAvailableData);
    progressPopup = new ProgressPopup(Settings::getUIMsgDownloadInProgress(), mainWindow);
    progressPopup->show();
    stallTimer->start(stallTimeoutMs);
    // What arrived while the dialog was open, shown on the bar at once: the
    // transfer may have little left to report.
    writeAvailableData();
    showSavedProgress();
    return true;
}

bool DownloadHandler::remountUsb(bool rw)
{
    const QString argument = rw ? QStringLiteral("rw") : QStringLiteral("ro");
    qCDebug(lcUsb).noquote() << "RemountUSB" << argument;
    ScriptRunner::runScript(QStringLiteral("usbremount.sh"), {argument}, false, 30000);
    return true;
}

void DownloadHandler::downloadProgress(qint64, qint64)
{
    // The transfer is alive; the bar itself follows what reached the drive.
    if (stallTimer->isActive())
        stallTimer->start(stallTimeoutMs);
}

void DownloadHandler::showSavedProgress()
{
    // The share of the announced length that is on the drive. Not what the
    // network received: that runs ahead of the drive, and Qt reports it only
    // now and then, so the bar could stop short of what was saved.
    if (!progressPopup || expectedBytes <= 0)
        return;
    progressPopup->setProgress(
        static_cast<int>(std::min(bytesSaved, expectedBytes) * 100 / expectedBytes));
}

bool DownloadHandler::saveAvailableData()
{
    if (!file || !writeError.isEmpty())
        return writeError.isEmpty();
    auto store = [this](const QByteArray& chunk) {
        errno = 0;
        if (file->write(chunk) == chunk.size()) {
            bytesSaved += chunk.size();
            showSavedProgress();
            return true;
        }
        const int err = errno;
        driveRefused("writing", err != 0 ? err : EIO);
        return false;
    };
    if (!pendingData.isEmpty()) {
        const QByteArray data = pendingData;
        pendingData.clear();
        if (!store(data))
            return false;
    }
    while (reply && reply->bytesAvailable() > 0) {
        const QByteArray chunk = reply->read(WriteChunkSize);
        if (chunk.isEmpty())
            break;
        if (!store(chunk))
            return false;
    }
    return true;
}

void DownloadHandler::writeAvailableData()
{
    // A drive that cannot take the data ends the download at once; abort()
    // reports the reply finished, which ends up in downloadFinished().
    if (!saveAvailableData() && reply && !reply->isFinished())
        reply->abort();
}

void DownloadHandler::keepReply()
{
    // The page releases every reply that its network manager reports
    // finished. This one is the download's until it ends: start() runs
    // inside the reply's own signal, so deleting it while a dialog is open
    // would pull it from under the code that called us.
    QCoreApplication::removePostedEvents(reply, QEvent::DeferredDelete);
}

void DownloadHandler::replyFinished()
{
    if (!reply)
        return;
    keepReply();
    if (reply->error() != QNetworkReply::NoError && networkError.isEmpty())
        networkError = reply->errorString();
    if (file) {
        downloadFinished();
        return;
    }
    // Still asking the user: keep what arrived, the reply may be released
    // before the answer.
    replyDone = true;
    pendingData += reply->readAll();
}

void DownloadHandler::transferStalled()
{
    if (!reply || reply->isFinished())
        return;
    networkError = QString("no data for %1 s").arg(stallTimeoutMs / 1000.0);
    qCInfo(lcUsb).noquote() << QString("Download stalled: %1").arg(networkError);
    // Reported as finished at once, which ends the download as failed.
    reply->abort();
}

void DownloadHandler::downloadFinished()
{
    if (!reply && !replyDone)
        return;
    stallTimer->stop();
    if (reply) {
        reply->disconnect(this);
        if (reply->error() != QNetworkReply::NoError && networkError.isEmpty())
            networkError = reply->errorString();
    }

    saveAvailableData();
    QString failure = !writeError.isEmpty() ? writeError : networkError;
    if (failure.isEmpty() && file && expectedBytes >= 0 && bytesSaved != expectedBytes)
        failure = QString("incomplete, %1 of %2 bytes received").arg(bytesSaved).arg(expectedBytes);

    if (file) {
        if (failure.isEmpty()) {
            errno = 0;
            if (!file->flush()) {
                driveRefused("writing", errno != 0 ? errno : EIO);
                failure = writeError;
            }
        }
        if (failure.isEmpty()) {
            // The drive may be pulled right after the message: force the data
            // to the medium first. A drive that cannot take the data (full,
            // pulled) may only say so here.
            const int handle = file->handle();
            if (handle < 0) {
                qCInfo(lcUsb).noquote() << "Filesystem synchronization failed: no file handle";
            } else if (::fsync(handle) == -1) {
                const int err = errno;
                qCInfo(lcUsb).noquote()
                    << QString("Filesystem synchronization failed: error %1").arg(err);
                if (err == ENOSPC || err == EDQUOT || err == EIO || err == EROFS) {
                    driveRefused("synchronizing", err);
                    failure = writeError;
                }
            }
        }
        if (failure.isEmpty()) {
            file->close();
            file->deleteLater();
            file = nullptr;
        } else {
            // A partial file must not pass for the download.
            discardFile();
        }
    }

    if (reply)
        reply->deleteLater();
    reply = nullptr;
    replyDone = false;
    pendingData.clear();
    closeProgressPopup();

    if (failure.isEmpty()) {
        qCInfo(lcUsb).noquote() << "Download complete";
        showMessage(Settings::getUIMsgDownloadComplete());
    } else {
        if (!writeCause.isEmpty()) {
            qCInfo(lcUsb).noquote() << QString("Download failed: %1 (%2)").arg(writeCause, failure);
            showMessage(Settings::getUIMsgError() + ": " + writeCause);
        } else {
            qCInfo(lcUsb).noquote() << QString("Download failed: %1").arg(failure);
            showMessage(Settings::getUIMsgError() + ": " + failure);
        }
    }

    qCDebug(lcUsb) << "Ro-remount the usb drive";
    remountUsb(false);
    running = false;
}

} // namespace Tessal
