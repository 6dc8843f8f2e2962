#include "keyboardpanel.h"

#include "logging.h"
#include "screensaver.h"
#include "settings.h"

#include <QApplication>
#include <QDebug>
#include <QEvent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QRegularExpression>
#include <QScreen>
#include <QtMath>

// The panel's QML lives in this static library's resources.
static void initKeyboardResources()
{
    Q_INIT_RESOURCE(keyboard);
}

namespace Tessal
{

KeyboardPanel* KeyboardPanel::staticInstance = nullptr;

namespace
{
const char* const ImModule = "qtvirtualkeyboard";
} // namespace

void KeyboardPanel::prepareInputMethod(bool on)
{
    if (on) {
        qputenv("QT_IM_MODULE", ImModule);
        // The plugin's own top-level panel window needs someone to place it
        // above the kiosk; the panel is ours, inside our windows, instead.
        qputenv("QT_VIRTUALKEYBOARD_DESKTOP_DISABLE", "1");
        // The unit has no GPU and linuxfb no OpenGL at all: the panel is
        // drawn by Qt Quick's software renderer, as QtWebEngine's view is.
        if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
            qputenv("QT_QUICK_BACKEND", "software");
        // The kiosk leaves nothing in the home directory: the keyboard's
        // QML is compiled in memory, not cached under ~/.cache.
        qputenv("QML_DISABLE_DISK_CACHE", "1");
    } else if (qgetenv("QT_IM_MODULE") == ImModule) {
        qunsetenv("QT_IM_MODULE");
    }
}

void KeyboardPanel::prepareFromSettings()
{
    Settings::load(true);
    prepareInputMethod(Settings::getUIVirtualKeyboard());
}

bool KeyboardPanel::inputMethodReady()
{
    return qgetenv("QT_IM_MODULE") == ImModule;
}

KeyboardPanel* KeyboardPanel::create(QWidget* home)
{
    if (staticInstance || !inputMethodReady() || !home)
        return staticInstance;
    staticInstance = new KeyboardPanel(home);
    return staticInstance;
}

KeyboardPanel* KeyboardPanel::instance()
{
    return staticInstance;
}

KeyboardPanel::KeyboardPanel(QWidget* home) : QQuickWidget(home), home(home)
{
    setObjectName("keyboardPanel");
    // A touch on a key must leave the focus in the field being edited.
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setResizeMode(QQuickWidget::SizeRootObjectToView);
    setClearColor(Qt::black);
    hide();
    connect(qApp, &QApplication::focusChanged, this,
            [this](QWidget*, QWidget* now) { followFocus(now); });
    home->installEventFilter(this);
}

bool KeyboardPanel::load()
{
    if (loaded)
        return rootObject() != nullptr;
    loaded = true;
    initKeyboardResources();
    setSource(QUrl("qrc:/keyboard/keyboardpanel.qml"));
    if (status() != QQuickWidget::Ready || !rootObject() || !inputPanel()) {
        const auto problems = errors();
        for (const QQmlError& error : problems)
            qCWarning(lcUi).noquote() << "On-screen keyboard:" << error.toString();
        qCWarning(lcUi).noquote() << "On-screen keyboard not available";
        setSource(QUrl());
        return false;
    }
    rootObject()->setProperty("locale", wantedLocale);
    // The waking touch of a dark screen types nothing, here as on the page.
    ScreenSaver::instance()->handleMouseMove(this);
    connect(rootObject(), SIGNAL(panelActiveChanged()), this, SLOT(panelStateChanged()));
    connect(rootObject(), SIGNAL(panelHeightChanged()), this, SLOT(panelStateChanged()));
    connect(rootObject(), SIGNAL(hideKeyTouched()), this, SLOT(hideKeyTouched()));
    panelStateChanged();
    return true;
}

KeyboardPanel::~KeyboardPanel()
{
    if (staticInstance == this)
        staticInstance = nullptr;
}

QString KeyboardPanel::localeFor(const QString& language)
{
    // The primary tag only: "de-CH" and "de_AT" are German, but "default"
    // (no language yet) is not.
    const QString code = language.trimmed().toLower().section(QRegularExpression("[-_]"), 0, 0);
    if (code == QLatin1String("de"))
        return QStringLiteral("de_DE");
    if (code == QLatin1String("fr"))
        return QStringLiteral("fr_FR");
    return QStringLiteral("en_US");
}

void KeyboardPanel::setLanguage(const QString& language)
{
    const QString wanted = localeFor(language);
    if (wantedLocale == wanted)
        return;
    qCDebug(lcUi).noquote() << "On-screen keyboard layout" << wanted;
    wantedLocale = wanted;
    if (rootObject())
        rootObject()->setProperty("locale", wanted);
}

QString KeyboardPanel::locale() const
{
    return wantedLocale;
}

bool KeyboardPanel::isActive() const
{
    return active;
}

int KeyboardPanel::takenHeight() const
{
    if (!active || !rootObject())
        return 0;
    return qCeil(rootObject()->property("panelHeight").toReal());
}

QQuickItem* KeyboardPanel::inputPanel() const
{
    return rootObject() ? rootObject()->findChild<QQuickItem*>("inputPanel") : nullptr;
}

void KeyboardPanel::followFocus(QWidget* now)
{
    if (!now)
        return;
    // A field of our own may come before any page did.
    if (now->testAttribute(Qt::WA_InputMethodEnabled))
        load();
    QWidget* window = now->window();
    if (window != host() && window != this && window->isVisible())
        moveTo(window);
}

void KeyboardPanel::moveTo(QWidget* window)
{
    QWidget* old = host();
    if (old == window)
        return;
    const bool wasActive = active;
    if (old) {
        old->removeEventFilter(this);
        if (wasActive) {
            fitHost(old, false);
            emit activeChanged(old, false);
        }
    }
    setParent(window);
    window->installEventFilter(this);
    if (active)
        fitHost(window, true);
    place();
    if (active)
        emit activeChanged(window, true);
}

void KeyboardPanel::fitHost(QWidget* window, bool up)
{
    if (!window || window == home)
        return;
    // A dialog is smaller than the screen: while the panel is up it takes
    // the whole screen, its own widgets at the top, the panel below them.
    if (up && !grownHost) {
        grownHost = window;
        savedGeometry = window->geometry();
        savedMinimum = window->minimumSize();
        savedMaximum = window->maximumSize();
        const QScreen* screen = window->screen();
        const QRect area = screen ? screen->geometry() : QRect(0, 0, 800, 480);
        window->setMinimumSize(0, 0);
        window->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        window->setGeometry(area);
    } else if (!up && grownHost == window) {
        grownHost = nullptr;
        window->setMinimumSize(savedMinimum);
        window->setMaximumSize(savedMaximum);
        window->setGeometry(savedGeometry);
    }
}

void KeyboardPanel::place()
{
    QWidget* window = host();
    if (!window || !rootObject())
        return;
    // The panel's height follows from its width: lay it out at the window's
    // width, then take as much height as it asks for.
    // A hidden widget hands its size to the QML only when shown: the root
    // item is given the width itself.
    const int width = window->width();
    if (rootObject()->width() != width)
        rootObject()->setWidth(width);
    const int panelHeight = qCeil(rootObject()->property("panelHeight").toReal());
    if (rootObject()->height() != panelHeight)
        rootObject()->setHeight(panelHeight);
    if (active && panelHeight > 0) {
        setGeometry(0, window->height() - panelHeight, width, panelHeight);
        show();
        raise();
    } else {
        hide();
    }
}

void KeyboardPanel::panelStateChanged()
{
    const bool nowActive = rootObject() && rootObject()->property("panelActive").toBool();
    place();
    if (nowActive == active) {
        if (active)
            emit activeChanged(host(), true); // the height changed
        return;
    }
    active = nowActive;
    qCDebug(lcUi).noquote() << (active ? "On-screen keyboard up" : "On-screen keyboard down");
    fitHost(host(), active);
    place();
    emit activeChanged(host(), active);
}

void KeyboardPanel::hideKeyTouched()
{
    emit typingDone(host());
}

bool KeyboardPanel::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == host()) {
        if (event->type() == QEvent::Resize) {
            place();
        } else if (event->type() == QEvent::Hide && home && watched != home) {
            // A dialog going away must not take the panel with it. Without a
            // window manager nobody gives the main window the input back.
            moveTo(home);
            home->activateWindow();
        }
    }
    return QQuickWidget::eventFilter(watched, event);
}

} // namespace Tessal
