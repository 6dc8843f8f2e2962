#include "md5.h"

#include <QCryptographicHash>
#include <QFile>

namespace Tessal
{

QByteArray Md5::calculateHash(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5);
}

QByteArray Md5::calculateFileHash(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return Md5::calculateHash(file.readAll());
}

} // namespace Tessal
