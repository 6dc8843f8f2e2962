#ifndef TESSAL_SYSFS_H
#define TESSAL_SYSFS_H

#include <QString>

namespace Tessal
{

// Writes into sysfs control files.
class SysfsFile
{
public:
    // Write a text (Latin-1, no newline) or a decimal number into a file, as
    // sysfs control files expect. When the file cannot be opened logs
    // "Error opening file '%1'", when the write is refused "Error writing
    // file '%1'", both on the critical channel, and returns false.
    static bool echo(const QString& path, const QString& text);
    static bool echo(const QString& path, int value);
};

} // namespace Tessal

#endif
