#include "settings.h"

#include "inicodec.h"
#include "logging.h"
#include "systempath.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QSettings>
#include <cstdio>
#include <optional>

namespace Tessal
{

bool Settings::logVerbose = false;
QString Settings::infoDevice = "DeviceUndef";
QString Settings::infoRelease = "ReleaseUndef";
const QString Settings::filePath = TESSAL_PATH_VIEW_INI;

#define TESSAL_SETTINGS_DEFINE(type, group, key, member, getter, def)                              \
    Settings::type Settings::member = def;
TESSAL_SETTINGS_TABLE(TESSAL_SETTINGS_DEFINE)
#undef TESSAL_SETTINGS_DEFINE

namespace
{

// The ini reader splits an unquoted value at commas into a list; a user text
// such as "Please wait, loading" must come back whole, not empty.
QString toText(const QVariant& value)
{
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList().join(", ");
    return value.toString();
}

void convert(const QVariant& value, QString& out)
{
    out = toText(value);
}
void convert(const QVariant& value, quint64& out)
{
    out = toText(value).toULongLong();
}
void convert(const QVariant& value, quint32& out)
{
    out = toText(value).toUInt();
}
// 16-bit values keep the low 16 bits of the parsed number (70000 gives 4464).
void convert(const QVariant& value, quint16& out)
{
    out = static_cast<quint16>(toText(value).toULongLong() & 0xFFFF);
}
void convert(const QVariant& value, qint32& out)
{
    out = toText(value).toInt();
}
void convert(const QVariant& value, bool& out)
{
    const QString text = toText(value);
    out = !(text.isEmpty() || text == "0" || text.compare("false", Qt::CaseInsensitive) == 0);
}

// Whether the file's bytes are UTF-8 (ASCII is). A file that cannot be read
// counts as UTF-8: QSettings then reads nothing of it either way.
bool isUtf8(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return true;
    const QByteArray bytes = file.readAll();
    // Invalid sequences decode to U+FFFD and do not come back the same.
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

} // namespace

QString Settings::getFilePath()
{
    return SystemPath::systemPath(filePath);
}

void Settings::resetToDefaults()
{
#define TESSAL_SETTINGS_RESET(type, group, key, member, getter, def) member = def;
    TESSAL_SETTINGS_TABLE(TESSAL_SETTINGS_RESET)
#undef TESSAL_SETTINGS_RESET
    logVerbose = false;
    infoDevice = "DeviceUndef";
    infoRelease = "ReleaseUndef";
}

bool Settings::load(bool quiet)
{
    const QString path = getFilePath();
    if (!QFile::exists(path)) {
        if (!quiet)
            qCInfo(lcApp).noquote()
                << QString("Settings file '%1' does not exist, using default values").arg(path);
        return false;
    }

    QSettings ini(path, QSettings::IniFormat);
    // The file is read as UTF-8 by either Qt, so a unit reads the same
    // values before and after its Qt changes (ASCII reads the same either
    // way). A file that is not UTF-8 is an older file of a user's, saved as
    // Latin-1: Qt 5 goes on reading it so, Qt 6 cannot, and either says so.
    if (isUtf8(path)) {
        IniCodec::readUtf8(ini);
    } else {
        qCWarning(lcApp).noquote()
            << QString("Settings file '%1' is not UTF-8: save it as UTF-8, else its non-ASCII "
                       "values read differently on Qt 5 and Qt 6")
                   .arg(path);
    }
    QString currentGroup;
    auto readKey = [&ini, &currentGroup](const char* group, const char* key, auto& member) {
        if (currentGroup != group) {
            if (!currentGroup.isEmpty())
                ini.endGroup();
            ini.beginGroup(group);
            currentGroup = group;
        }
        if (ini.contains(key))
            convert(ini.value(key), member);
    };
#define TESSAL_SETTINGS_READ(type, group, key, member, getter, def) readKey(group, key, member);
    TESSAL_SETTINGS_TABLE(TESSAL_SETTINGS_READ)
#undef TESSAL_SETTINGS_READ
    if (!currentGroup.isEmpty())
        ini.endGroup();
    return true;
}

namespace
{

// The program's options, registered in the order -v, -D, -R, help.
struct CommandLine {
    QCommandLineParser parser;
    const QCommandLineOption verbose{QStringList() << "v", "Verbose"};
    const QCommandLineOption device{QStringList() << "D", "Device description", "device"};
    const QCommandLineOption release{QStringList() << "R", "Release number", "release"};
    QCommandLineOption help{QStringList() << "h"};

    CommandLine()
    {
        parser.setApplicationDescription("Main application of TESSAL");
        parser.addOption(verbose);
        parser.addOption(device);
        parser.addOption(release);
        help = parser.addHelpOption();
    }
};

// Number of leading arguments (program name included) that come before the
// first one the parser refuses. An option whose value is the next argument
// is refused only when no argument follows it.
int argumentsBeforeError(const QStringList& arguments)
{
    for (int n = 2; n <= arguments.size(); ++n) {
        if (CommandLine().parser.parse(arguments.mid(0, n)))
            continue;
        if (n < arguments.size() && CommandLine().parser.parse(arguments.mid(0, n + 1))) {
            ++n; // the option took the next argument as its value
            continue;
        }
        return n - 1;
    }
    return arguments.size();
}

} // namespace

void Settings::loadWithCommandLine(const QStringList& arguments)
{
    const QStringList args = arguments.isEmpty() ? QStringList() << "tessalview" : arguments;
    CommandLine whole, beforeError;
    const CommandLine* cl = &whole;

    // Neither help nor a bad argument stops the kiosk: a unit must come up
    // whatever its start command says. After a parse error the arguments
    // before the refused one keep their effect and later ones are ignored.
    if (!whole.parser.parse(args)) {
        qCDebug(lcApp).noquote() << whole.parser.errorText();
        beforeError.parser.parse(args.mid(0, argumentsBeforeError(args)));
        cl = &beforeError;
    } else if (whole.parser.isSet(whole.help)) {
        fputs(qPrintable(whole.parser.helpText()), stdout);
        fflush(stdout);
    }
    const QCommandLineParser& parser = cl->parser;

    load();

    if (parser.isSet(cl->verbose))
        setLogVerbose(true);
    if (parser.isSet(cl->device) && !parser.value(cl->device).isEmpty())
        setInfoDevice(parser.value(cl->device));
    if (parser.isSet(cl->release) && !parser.value(cl->release).isEmpty())
        setInfoRelease(parser.value(cl->release));

    qCDebug(lcApp).nospace() << "verbose = " << isLogVerbose();
    qCDebug(lcApp).noquote().nospace() << "device  = " << getInfoDevice();
    qCDebug(lcApp).noquote().nospace() << "release = " << getInfoRelease();
}

int Settings::answerHelpOrVersion(int& argc, char* argv[])
{
    // Most starts ask for neither: they must not create an application
    // object here, before the real one.
    bool asked = false;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        asked =
            asked || arg == "-h" || arg == "--help" || arg == "--help-all" || arg == "--version";
    }
    if (!asked)
        return -1;

    // A console application object gives the help text its program name and
    // needs no display. Toolkit options (-platform ...) are unknown to this
    // parser, which reports them but still sees the options after them.
    std::optional<QCoreApplication> app;
    if (QCoreApplication::instance() == nullptr)
        app.emplace(argc, argv);
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    CommandLine cl;
    const QCommandLineOption version(QStringList() << "version", "Print the version.");
    cl.parser.addOption(version);
    cl.parser.parse(arguments);
    if (cl.parser.isSet(cl.help) || cl.parser.isSet("help-all")) {
        fputs(qPrintable(cl.parser.helpText()), stdout);
        return 0;
    }
    if (cl.parser.isSet(version)) {
        fputs("tessalview (Tessal) " TESSAL_VERSION "\n", stdout);
        return 0;
    }
    // "-D --help": a value, not a question.
    return -1;
}

QByteArray Settings::getHttpAuthorizationBytes()
{
    const QString credentials = login + ":" + password;
    return QString("Basic " + QString::fromLocal8Bit(credentials.toLocal8Bit().toBase64()))
        .toLocal8Bit();
}

} // namespace Tessal
