#ifndef TESSAL_PRIVATEDIRECTORY_H
#define TESSAL_PRIVATEDIRECTORY_H

#include <QString>

namespace Tessal
{

// The directories where the kiosk keeps what nobody else may read or change
// (its runtime directory with the run marker, the documents it generates for
// the Modbus server and the SNMP agent, some with secrets). What the kiosk
// creates there is created owner-only (0700); a directory found in place must
// be a real directory of the kiosk's own user that neither its group nor
// others may write to, or another local user could have made it first and
// read or replace what the kiosk writes into it.
class PrivateDirectory
{
public:
    // Creates `path` (and each missing directory above it) with mode 0700,
    // then checks it. False, with one critical line naming the directory and
    // the reason, when it cannot be created or must not be used; nothing may
    // be written into it then.
    static bool prepare(const QString& path);
    // The reason `path` must not be used, empty when it may: a missing path
    // counts as unusable too.
    static QString refusal(const QString& path);
};

} // namespace Tessal

#endif
