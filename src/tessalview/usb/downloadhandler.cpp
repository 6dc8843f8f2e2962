#include "downloadhandler.h"

#include "filedialog.h"
#include "logging.h"
#include "settings.h"

#include "progresspopup.h"
#include "timedpopup.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QNetworkReply>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <algorithm>

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
    if (writer.isOpen()) {
        // An unfinished download leaves nothing half-written on the drive.
        writer.discard();
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

    takeReply(newReply);
    if (!driveUsable(DriveWriter::check())) {
        releaseReply();
        return false;
    }

    const QString directory = Settings::getFilesDirectory();
    QString name = DriveWriter::uniqueFileName(
        directory, fileNameFor(reply->rawHeader("Content-Disposition"), reply->url()));
    {
        FileDialog dialog(true, name, mainWindow);
        if (dialog.exec() != QDialog::Accepted) {
            qCInfo(lcUsb).noquote() << "Download canceled by user";
            releaseReply();
            return false;
        }
        // A name typed in the dialog is held to the rules of a server's
        // name: one plain file in the drive's directory, never one that
        // is there already.
        const QString typed = safeFileName(dialog.getFilename());
        if (!typed.isEmpty() && typed != name)
            name = DriveWriter::uniqueFileName(directory, typed);
    }

    qCDebug(lcUsb) << "Rw-remount the usb drive";
    remountUsb(true);
    if (!openTarget(directory, name))
        return false;

    if (replyDone || !reply) {
        // Everything arrived while the dialog was open.
        replyDone = true;
        if (!reply && networkError.isEmpty() && pendingData.isEmpty())
            networkError = QStringLiteral("Download interrupted");
        endSoon();
        return true;
    }
    startReceiving();
    return true;
}

void DownloadHandler::takeReply(QNetworkReply* newReply)
{
    running = true;
    reply = newReply;
    reply->setParent(this);
    replyDone = false;
    pendingData.clear();
    networkError.clear();
    // A close of the connection may be reported as a normal end even when
    // less than the announced length arrived: the length is checked at the
    // end. (Qt drops the header when it decompresses the body itself.)
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    expectedBytes = length.isValid() ? length.toLongLong() : -1;
    // Nobody reads the reply while the dialog is open: ask Qt to hold no
    // more than this meanwhile (a reply already under way may take more).
    reply->setReadBufferSize(ReplyBufferSize);
    keepReply();
    // Connected before the dialog: a reply that finishes while the user is
    // asked is kept, with its content, until the answer.
    connect(reply, &QNetworkReply::finished, this, &DownloadHandler::replyFinished);
}

bool DownloadHandler::driveUsable(const DriveState_s& drive)
{
    switch (drive.presence) {
    case DriveState_s::Present:
        return true;
    case DriveState_s::NotMounted:
        qCInfo(lcUsb).noquote() << "Download canceled: USB drive not mounted";
        showMessage(Settings::getUIMsgUSBDriveNotMounted());
        return false;
    case DriveState_s::Unsafe:
        qCInfo(lcUsb).noquote() << QString("Download canceled: USB drive at '%1' refused: "
                                           "mounted without %2")
                                       .arg(Settings::getFilesDirectory(),
                                            drive.missingOptions.join(", "));
        showMessage(Settings::getUIMsgUSBDriveUnsafe());
        return false;
    }
    return false;
}

bool DownloadHandler::openTarget(const QString& directory, const QString& name)
{
    qCInfo(lcUsb).noquote()
        << QString("File will be saved to '%1'").arg(QDir(directory).absoluteFilePath(name));
    if (writer.open(directory, name))
        return true;
    releaseReply();
    if (writer.drive().presence == DriveState_s::Unsafe) {
        // Not mounted safely any more after the remount.
        driveUsable(writer.drive());
    } else if (!writer.cause().isEmpty()) {
        qCInfo(lcUsb).noquote()
            << QString("Download failed: %1 (%2)").arg(writer.cause(), writer.errorString());
        showMessage(Settings::getUIMsgError() + ": " + writer.cause());
    } else {
        showMessage(QString(Settings::getUIMsgFailedToOpenFile()).replace("%1", writer.path()));
    }
    qCDebug(lcUsb) << "Ro-remount the usb drive";
    remountUsb(false);
    running = false;
    return false;
}

void DownloadHandler::startReceiving()
{
    connect(reply, &QNetworkReply::downloadProgress, this, &DownloadHandler::downloadProgress);
    connect(reply, &QNetworkReply::readyRead, this, &DownloadHandler::writeAvailableData);
    progressPopup = new ProgressPopup(Settings::getUIMsgDownloadInProgress(), mainWindow);
    progressPopup->show();
    stallTimer->start(stallTimeoutMs);
    // What arrived while the dialog was open, shown on the bar at once: the
    // transfer may have little left to report.
    writeAvailableData();
    showSavedProgress();
}

bool DownloadHandler::remountUsb(bool rw)
{
    return DriveWriter::remount(rw);
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
        static_cast<int>(std::min(writer.bytesWritten(), expectedBytes) * 100 / expectedBytes));
}

bool DownloadHandler::saveAvailableData()
{
    if (!writer.isOpen() || writer.failed())
        return !writer.failed();
    auto store = [this](const QByteArray& chunk) {
        if (!writer.write(chunk))
            return false;
        showSavedProgress();
        return true;
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
    if (writer.isOpen()) {
        endSoon();
        return;
    }
    // Still asking the user: keep what arrived, the reply may be released
    // before the answer.
    replyDone = true;
    pendingData += reply->readAll();
}

void DownloadHandler::endSoon()
{
    // The end of a download tells the user in a modal message, whose event
    // loop may run the release of the reply. Reached from the reply's own
    // signal (finished, metaDataChanged, or an abort() of ours that emits
    // finished before it returns), that would free the reply under the Qt
    // code still running in it: the end runs once that signal has returned.
    if (endQueued)
        return;
    endQueued = true;
    stallTimer->stop();
    if (reply)
        disconnect(reply, nullptr, this, nullptr);
    QMetaObject::invokeMethod(this, &DownloadHandler::downloadFinished, Qt::QueuedConnection);
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
    endQueued = false;
    if (!reply && !replyDone)
        return;
    stallTimer->stop();
    if (reply) {
        keepReply();
        reply->disconnect(this);
        if (reply->error() != QNetworkReply::NoError && networkError.isEmpty())
            networkError = reply->errorString();
    }

    saveAvailableData();
    QString failure = writer.failed() ? writer.errorString() : networkError;
    if (failure.isEmpty() && writer.isOpen() && expectedBytes >= 0 &&
        writer.bytesWritten() != expectedBytes)
        failure = QString("incomplete, %1 of %2 bytes received")
                      .arg(writer.bytesWritten())
                      .arg(expectedBytes);

    if (writer.isOpen()) {
        // Flushed and forced to the medium before the user is told; a
        // partial file must not pass for the download.
        if (!failure.isEmpty())
            writer.discard();
        else if (!writer.finish())
            failure = writer.errorString();
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
        if (writer.failed()) {
            qCInfo(lcUsb).noquote()
                << QString("Download failed: %1 (%2)").arg(writer.cause(), failure);
            showMessage(Settings::getUIMsgError() + ": " + writer.cause());
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
