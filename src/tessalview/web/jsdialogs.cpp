#include "jsdialogs.h"

#include "clock.h"
#include "logging.h"

#include <QDebug>

namespace Tessal
{
namespace JsDialogs
{

void alert(const QString& message)
{
    qCInfo(lcWeb).noquote() << QString("%1 - Page alert: %2").arg(Clock::now(), message);
}

bool confirm(const QString& message)
{
    qCInfo(lcWeb).noquote()
        << QString("%1 - Page confirm answered false: %2").arg(Clock::now(), message);
    return false;
}

bool prompt(const QString& message)
{
    qCInfo(lcWeb).noquote()
        << QString("%1 - Page prompt answered null: %2").arg(Clock::now(), message);
    return false;
}

} // namespace JsDialogs
} // namespace Tessal
