#include "devicelanguage.h"

#include "frontlinktarget.h"
#include "logging.h"

#include <QByteArray>
#include <QDebug>
#include <QString>

namespace Tessal
{

namespace
{

bool isLanguageCode(const QString& lang)
{
    for (const QChar c : lang) {
        const ushort u = c.unicode();
        const bool ok = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') ||
                        (u >= '0' && u <= '9') || u == '-' || u == '_';
        if (!ok)
            return false;
    }
    return !lang.isEmpty();
}

} // namespace

void DeviceLanguage::apply(const tup::devinfo_s& devinfo)
{
    if (!devinfo.lang.empty() && window != nullptr) {
        const QString lang = QString::fromLatin1(devinfo.lang.c_str());
        if (isLanguageCode(lang))
            window->setLanguage(lang);
        else
            qCDebug(lcFrontLink).noquote()
                << "DevInfo language '" +
                       QString::fromLatin1(
                           QByteArray::fromStdString(devinfo.lang).toPercentEncoding()) +
                       "' is not a language code, language unchanged";
    }
    last_devinfo = devinfo;
}

} // namespace Tessal
