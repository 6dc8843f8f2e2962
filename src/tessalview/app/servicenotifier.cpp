#include "servicenotifier.h"

#include "clock.h"
#include "logging.h"
#include "privatedirectory.h"
#include "systempath.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <utility>

#include <unistd.h>

namespace Tessal
{

ServiceNotifier::ServiceNotifier(QObject* parent) : QObject(parent)
{
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        // Half the period, as the manager expects; at least every 100 ms is
        // pointless and would only cost wake-ups.
        const uint64_t ms = usec / 2000;
        interval = static_cast<int>(std::max<uint64_t>(100, std::min<uint64_t>(ms, 3600000)));
    }
    timer.setTimerType(Qt::PreciseTimer);
    connect(&timer, &QTimer::timeout, this, &ServiceNotifier::keepAlive);
}

void ServiceNotifier::ready()
{
    sd_notify(0, "READY=1");
    if (interval > 0) {
        qCInfo(lcApp).noquote() << QString("Watchdog keep-alive every %1 ms").arg(interval);
        keepAlive();
        timer.start(interval);
    }
}

void ServiceNotifier::stopping()
{
    timer.stop();
    sd_notify(0, "STOPPING=1");
}

void ServiceNotifier::keepAlive()
{
    sd_notify(0, "WATCHDOG=1");
}

QString RunMarker::started;
QString RunMarker::page;

QString RunMarker::path()
{
    return SystemPath::systemPath("/run/tessalview/running");
}

void RunMarker::begin()
{
    started.clear();
    page.clear();
    // A directory that another user could have made or may write to is not
    // read and not written: the marker stays off for this run.
    if (!PrivateDirectory::prepare(QFileInfo(path()).absolutePath()))
        return;
    QFile previous(path());
    if (previous.open(QIODevice::ReadOnly)) {
        const QString what = QString::fromUtf8(previous.readAll()).trimmed().replace('\n', ", ");
        qCInfo(lcApp).noquote() << QString("Previous run ended abnormally (%1)").arg(what);
    }
    started = QString("pid %1, started %2").arg(::getpid()).arg(Clock::now());
    write();
}

void RunMarker::setPage(const QString& url)
{
    if (url == page || started.isEmpty())
        return;
    page = url;
    write();
}

void RunMarker::end()
{
    if (started.isEmpty())
        return;
    QFile::remove(path());
    started.clear();
}

void RunMarker::write()
{
    QSaveFile file(path());
    QByteArray text = started.toUtf8() + "\n";
    if (!page.isEmpty())
        text += "page " + page.toUtf8() + "\n";
    static bool told = false;
    if ((!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) &&
        !std::exchange(told, true))
        qCInfo(lcApp).noquote()
            << QString("Cannot write the run marker '%1': %2").arg(path(), file.errorString());
}

} // namespace Tessal
