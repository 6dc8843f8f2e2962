#include "sysfs.h"

#include "logging.h"

#include <QDebug>
#include <QFile>

namespace Tessal
{

bool SysfsFile::echo(const QString& path, const QString& text)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qCCritical(lcApp).noquote() << QString("Error opening file '%1'").arg(path);
        return false;
    }
    // A sysfs file refuses a value only when it is written (an unknown pin
    // on export, a busy line): that is a failure too, not a success.
    const QByteArray bytes = text.toLatin1();
    const bool written = file.write(bytes) == bytes.size() && file.flush();
    file.close();
    if (!written || file.error() != QFileDevice::NoError) {
        qCCritical(lcApp).noquote() << QString("Error writing file '%1'").arg(path);
        return false;
    }
    return true;
}

bool SysfsFile::echo(const QString& path, int value)
{
    return SysfsFile::echo(path, QString::number(value));
}

} // namespace Tessal
