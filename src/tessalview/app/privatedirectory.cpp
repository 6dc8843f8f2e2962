#include "privatedirectory.h"

#include "logging.h"

#include <QDebug>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace Tessal
{

QString PrivateDirectory::refusal(const QString& path)
{
    struct stat st {
    };
    // lstat: a link planted at the name is refused, never followed.
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    if (S_ISLNK(st.st_mode))
        return QStringLiteral("it is a symbolic link");
    if (!S_ISDIR(st.st_mode))
        return QStringLiteral("it is not a directory");
    if (st.st_uid != ::geteuid())
        return QString("it belongs to uid %1, not to this program's uid %2")
            .arg(st.st_uid)
            .arg(::geteuid());
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return QString("its group or others may write to it (mode %1)")
            .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
    return QString();
}

bool PrivateDirectory::prepare(const QString& path)
{
    const QString clean = QDir::cleanPath(QDir(path).absolutePath());
    // Top-down, so every directory made on the way is owner-only too; the
    // ones already there above the last are the system's business (/run).
    const QStringList parts = clean.split('/', Qt::SkipEmptyParts);
    QString at;
    for (const QString& part : parts) {
        at += '/' + part;
        if (::mkdir(QFile::encodeName(at).constData(), 0700) != 0 && errno != EEXIST) {
            qCCritical(lcApp).noquote()
                << QString("Cannot create directory '%1': %2")
                       .arg(at, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
    }
    const QString why = refusal(clean);
    if (why.isEmpty())
        return true;
    qCCritical(lcApp).noquote() << QString("Refusing to use directory '%1': %2").arg(clean, why);
    return false;
}

} // namespace Tessal
