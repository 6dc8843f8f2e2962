#ifndef TESSAL_MD5_H
#define TESSAL_MD5_H

#include <QByteArray>
#include <QString>

namespace Tessal
{

// MD5 digests.
class Md5
{
public:
    // MD5 digest, 16 raw bytes.
    static QByteArray calculateHash(const QByteArray& data);
    // MD5 of a whole file, empty when the file cannot be opened.
    static QByteArray calculateFileHash(const QString& path);
};

} // namespace Tessal

#endif
