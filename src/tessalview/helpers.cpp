#include "helpers.h"

#include "settings.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QProcess>
#include <QWaitCondition>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace Tessal
{

namespace
{

// A script runs in a process group of its own, so that a hung script is
// killed together with whatever it started (a `sleep`, a `dbus-send`...).
class ScriptProcess : public QProcess
{
protected:
    void setupChildProcess() override { ::setpgid(0, 0); }
};

} // namespace

QString Helpers::now()
{
    return QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss.zzz");
}

bool Helpers::echo(const QString& path, const QString& text)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qCritical().noquote() << QString("Error opening file '%1'").arg(path);
        return false;
    }
    // A sysfs file refuses a value only when it is written (an unknown pin
    // on export, a busy line): that is a failure too, not a success.
    const QByteArray bytes = text.toLatin1();
    const bool written = file.write(bytes) == bytes.size() && file.flush();
    file.close();
    if (!written || file.error() != QFileDevice::NoError) {
        qCritical().noquote() << QString("Error writing file '%1'").arg(path);
        return false;
    }
    return true;
}

bool Helpers::echo(const QString& path, int value)
{
    return echo(path, QString::number(value));
}

void Helpers::sleep(int ms)
{
    // A private wait condition that nothing signals: a plain timed block.
    QMutex mutex;
    QWaitCondition never;
    mutex.lock();
    never.wait(&mutex, static_cast<unsigned long>(ms < 0 ? 0 : ms));
    mutex.unlock();
}

QByteArray Helpers::calculateHash(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5);
}

QByteArray Helpers::calculateFileHash(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return calculateHash(file.readAll());
}

QString Helpers::systemPath(const QString& path)
{
    const QString root = qEnvironmentVariable("TESSAL_ROOT");
    if (root.isEmpty())
        return path;
    QString joined = root;
    while (joined.endsWith('/'))
        joined.chop(1);
    return joined + (path.startsWith('/') ? path : "/" + path);
}

bool Helpers::runScript(const QString& name, const QStringList& arguments, bool logMissing,
                        int timeoutMs)
{
    const QString path = QDir::cleanPath(Settings::getFilesScriptDir() + "/" + name);
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile() || !info.isExecutable()) {
        if (logMissing)
            qDebug().noquote() << "Script '" + path + "' not found, do nothing";
        return false;
    }

    ScriptProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(path, arguments);
    if (!process.waitForStarted(timeoutMs)) {
        qDebug().noquote() << QString("%1 - Script '%2' could not be started: %3")
                                  .arg(now(), path, process.errorString());
        return false;
    }
    // Scripts get no input: a script that reads stdin sees end-of-file.
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs)) {
        const qint64 pid = process.processId();
        if (pid > 0)
            ::kill(-static_cast<pid_t>(pid), SIGKILL);
        process.kill();
        process.waitForFinished(1000);
        qDebug().noquote() << QString("%1 - Script '%2' did not finish within %3 ms, killed")
                                  .arg(now(), path)
                                  .arg(timeoutMs);
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit) {
        qDebug().noquote() << QString("%1 - Script '%2' crashed").arg(now(), path);
        return false;
    }
    return true;
}

} // namespace Tessal
