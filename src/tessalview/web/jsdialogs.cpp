#include "jsdialogs.h"

#include "logging.h"

#include <QDebug>

namespace Tessal
{
namespace JsDialogs
{

void alert(const QString& message)
{
    qCInfo(lcWeb).noquote() << QString("Page alert: %1").arg(message);
}

bool confirm(const QString& message)
{
    qCInfo(lcWeb).noquote() << QString("Page confirm answered false: %1").arg(message);
    return false;
}

bool prompt(const QString& message)
{
    qCInfo(lcWeb).noquote() << QString("Page prompt answered null: %1").arg(message);
    return false;
}

} // namespace JsDialogs
} // namespace Tessal
