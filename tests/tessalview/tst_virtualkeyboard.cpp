// The on-screen keyboard in the main window and in the download dialog, on a
// real X server (Xvfb, 800 x 480) with Qt's own input method: the kiosk is
// driven by touch events only, on pages of a real HTTP server.
#include "filedialog.h"
#include "httptestserver.h"
#include "keyboardpanel.h"
#include "kiosktestenv.h"
#include "mainwindow.h"
#include "screensaver.h"
#include "settings.h"
#include "touchscreen.h"
#include "webtestsupport.h"
#include "webview.h"

#include <QInputMethodQueryEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScopeGuard>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

using Tessal::KeyboardPanel;
using Tessal::MainWindow;
using Tessal::Settings;

namespace
{

const QByteArray FormPage =
    "<html><head><meta charset='utf-8'></head>"
    "<body style='margin:0;font-size:20px'>"
    "<input id='name' type='text' style='margin:8px;width:300px;height:40px;font-size:20px'>"
    "<input id='secret' type='password' style='margin:8px;width:300px;height:40px'>"
    "<textarea id='notes' style='margin:8px;width:120px;height:40px'></textarea>"
    "<div id='away' style='margin:8px;width:600px;height:120px;background:#ddd'>label</div>"
    "<div id='editable' contenteditable='true' "
    "style='margin:8px;width:300px;height:40px;background:#eef'></div>"
    "<div style='height:144px'></div>"
    "<input id='bottom' type='text' style='margin:8px;width:300px;height:40px'>"
    "</body></html>";

// Every item below `item` in the QML tree.
void collect(QQuickItem* item, QList<QQuickItem*>& out)
{
    out << item;
    const auto children = item->childItems();
    for (QQuickItem* child : children)
        collect(child, out);
}

} // namespace

class TestVirtualKeyboard : public QObject
{
    Q_OBJECT
private:
    KioskTestEnv m_env;
    HttpTestServer m_server;
    TouchScreen_t m_touchScreen = nullptr;

    // A touch (press and release) at `pos` in `window`'s coordinates, given
    // to the window system's queue like a real touch screen's.
    void touch(QWidget* window, const QPoint& pos)
    {
        QWindow* handle = window->windowHandle();
        QTest::touchEvent(handle, m_touchScreen).press(0, pos, handle);
        QTest::qWait(20);
        QTest::touchEvent(handle, m_touchScreen).release(0, pos, handle);
        QTest::qWait(60);
    }

    // The panel's key items that are on screen. A layout that has just
    // come up may still have keys outside the panel until its rows are laid
    // out (Qt 6.8 places them a moment later); those cannot be touched yet.
    static QList<QQuickItem*> keys(KeyboardPanel* panel)
    {
        QList<QQuickItem*> all, shown;
        QQuickItem* root = panel->rootObject();
        collect(root, all);
        const QRectF panelArea(0, 0, root->width(), root->height());
        for (QQuickItem* item : all) {
            if (item->property("key").isValid() && item->isVisible() && item->width() > 2 &&
                item->height() > 2 &&
                panelArea.contains(
                    item->mapRectToScene(QRectF(0, 0, item->width(), item->height()))))
                shown << item;
        }
        return shown;
    }
    // The key that types `text`, or whose QML type begins with `type`.
    static QQuickItem* key(KeyboardPanel* panel, const QString& text, const char* type = nullptr)
    {
        const auto shown = keys(panel);
        for (QQuickItem* item : shown) {
            if (type ? QByteArray(item->metaObject()->className()).startsWith(type)
                     : item->property("text").toString() == text)
                return item;
        }
        return nullptr;
    }
    // Touches the centre of a key; false when there is no such key.
    bool touchKey(KeyboardPanel* panel, const QString& text, const char* type = nullptr)
    {
        QQuickItem* item = key(panel, text, type);
        if (!item)
            return false;
        const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
        touch(panel->window(), panel->mapTo(panel->window(), centre.toPoint()));
        return true;
    }
    // Whether the panel's letter keys type capitals now.
    static bool upperCase(KeyboardPanel* panel)
    {
        QQuickItem* a = key(panel, "a");
        return a && a->property("uppercased").toBool();
    }
    // The number of word suggestions the panel offers.
    static int suggestions(KeyboardPanel* panel)
    {
        auto* list = panel->rootObject()->findChild<QQuickItem*>("wordCandidateView");
        return list ? list->property("count").toInt() : -1;
    }

    // A plain line edit of its own window, full screen and touched: the
    // panel comes up for it (a field without the page's word rules).
    bool panelUpForPlainField(QLineEdit& plain, KeyboardPanel* panel)
    {
        plain.setGeometry(0, 0, 800, 480);
        plain.show();
        plain.activateWindow();
        if (!QTest::qWaitForWindowActive(&plain))
            return false;
        touch(&plain, QPoint(100, 20));
        if (!QTest::qWaitFor([panel] { return panel->isActive(); }, 5000)) {
            qWarning("the panel did not come up for a plain field");
            return false;
        }
        if (panel->host() != &plain) {
            qWarning("the panel came up for another window than the plain field's");
            return false;
        }
        return true;
    }

    struct Kiosk {
        MainWindow window;
        Tessal::WebSurface* surface = nullptr;
        KeyboardPanel* panel = nullptr;
    };
    // The main window full screen on the form page.
    bool openForm(Kiosk& kiosk)
    {
        kiosk.window.setGeometry(0, 0, 800, 480);
        kiosk.window.show();
        // As the program does: without a window manager nobody else would.
        kiosk.window.activateWindow();
        if (!QTest::qWaitForWindowActive(&kiosk.window))
            return false;
        kiosk.window.getLabel()->hide();
        kiosk.window.getWebView()->show();
        kiosk.surface = kiosk.window.getWebView()->surface();
        kiosk.window.getWebView()->loadUrl(QUrl(m_server.url("/form.html")));
        kiosk.panel = kiosk.window.getKeyboard();
        return WebTest::waitForLoad(kiosk.surface) && kiosk.panel;
    }
    // Touches a field of the page by its id.
    void touchField(Kiosk& kiosk, const QString& id)
    {
        const QRect box = WebTest::elementRect(kiosk.surface, "#" + id);
        QVERIFY2(!box.isEmpty(), qPrintable(id));
        touch(&kiosk.window, kiosk.window.getWebView()->mapTo(&kiosk.window, box.center()));
    }
    QString value(Kiosk& kiosk, const QString& id)
    {
        return WebTest::runJs(kiosk.surface, "document.getElementById('" + id + "').value")
            .toString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_env.isValid());
        QVERIFY(m_server.start());
        m_server.page("/form.html", FormPage);
        m_touchScreen = QTest::createTouchDevice();
    }

    void init() { QVERIFY(m_env.loadIni("[UI]\nScreenSaverInterval=0\n")); }

    // A touch on a text field brings the keyboard up; its keys type into the
    // field (a capital through shift, digits from the symbol layout); a
    // field low on the page is scrolled above the panel, which the page
    // gives room to; a touch elsewhere, or the hide key, takes it down. A
    // text area and an editable element get it as well.
    void typesIntoPageFields()
    {
        Kiosk kiosk;
        QVERIFY(openForm(kiosk));
        KeyboardPanel* panel = kiosk.panel;
        QVERIFY(!panel->isActive());
        QVERIFY(!panel->isVisible());

        touchField(kiosk, "name");
        QTRY_VERIFY_WITH_TIMEOUT(panel->isActive(), 5000);
        QVERIFY(panel->isVisible());
        QCOMPARE(panel->host(), &kiosk.window);
        QCOMPARE(panel->geometry().bottom(), kiosk.window.height() - 1);
        QVERIFY(panel->height() > 100);
        if (!upperCase(panel))
            QVERIFY(touchKey(panel, QString(), "ShiftKey"));
        QTRY_VERIFY(upperCase(panel));
        QVERIFY(touchKey(panel, "a"));
        QTRY_VERIFY(!upperCase(panel));
        QVERIFY(touchKey(panel, "b"));
        QVERIFY(touchKey(panel, "c"));
        QVERIFY(touchKey(panel, " "));
        QVERIFY(touchKey(panel, QString(), "SymbolModeKey"));
        QTRY_VERIFY(key(panel, "1"));
        QVERIFY(touchKey(panel, "1"));
        QVERIFY(touchKey(panel, "2"));
        QVERIFY(touchKey(panel, "3"));
        QTRY_COMPARE(value(kiosk, "name"), QString("Abc 123"));
        QVERIFY(touchKey(panel, QString(), "SymbolModeKey"));

        // A touch beside the fields: the keyboard goes, the page gets its
        // whole height back.
        touchField(kiosk, "away");
        QTRY_VERIFY_WITH_TIMEOUT(!panel->isActive(), 5000);
        QVERIFY(!panel->isVisible());
        QTRY_COMPARE(kiosk.window.getWebView()->height(), kiosk.window.height());

        // The field at the bottom of the page would be under the panel: it
        // ends up above it, inside the smaller viewport.
        const QRect before = WebTest::elementRect(kiosk.surface, "#bottom");
        QVERIFY2(before.bottom() > kiosk.window.height() - panel->height(),
                 "the page no longer puts the field where the panel comes up");
        touchField(kiosk, "bottom");
        QTRY_VERIFY_WITH_TIMEOUT(panel->isActive(), 5000);
        const int viewportHeight = kiosk.window.height() - panel->height();
        QTRY_COMPARE(WebTest::runJs(kiosk.surface, "window.innerHeight").toInt(), viewportHeight);
        QTRY_VERIFY_WITH_TIMEOUT(
            WebTest::elementRect(kiosk.surface, "#bottom").bottom() <= viewportHeight, 5000);
        const QRect box = WebTest::elementRect(kiosk.surface, "#bottom");
        QVERIFY(box.top() >= 0);
        const QRect inWindow(kiosk.window.getWebView()->mapTo(&kiosk.window, box.topLeft()),
                             box.size());
        QVERIFY(!inWindow.intersects(panel->geometry()));
        // A word being composed reaches the field when it ends.
        QVERIFY(touchKey(panel, "z"));
        QVERIFY(touchKey(panel, " "));
        QTRY_COMPARE(value(kiosk, "bottom").toLower(), QString("z "));

        // The hide key.
        QVERIFY(touchKey(panel, QString(), "HideKeyboardKey"));
        QTRY_VERIFY_WITH_TIMEOUT(!panel->isActive(), 5000);
        QVERIFY(!panel->isVisible());

        // A text area and an editable element take the keyboard too.
        for (const QString& id : {QString("notes"), QString("editable")}) {
            touchField(kiosk, id);
            QTRY_VERIFY2_WITH_TIMEOUT(panel->isActive(), qPrintable(id), 5000);
            QVERIFY(touchKey(panel, "x"));
            QVERIFY(touchKey(panel, " "));
            auto typed = [&] {
                return WebTest::runJs(kiosk.surface, "(function(e){return e.value !== undefined"
                                                     " ? e.value : e.textContent;})("
                                                     "document.getElementById('" +
                                                         id + "'))")
                    .toString()
                    .toLower()
                    .startsWith("x");
            };
            QTest::qWait(500);
            QVERIFY2(typed(), qPrintable(id));
            QVERIFY(touchKey(panel, QString(), "HideKeyboardKey"));
            QTRY_VERIFY_WITH_TIMEOUT(!panel->isActive(), 5000);
        }
    }

    // The layout follows the device's language: German has an ä key that
    // types ä; back in English there is none.
    void layoutFollowsDeviceLanguage()
    {
        Kiosk kiosk;
        QVERIFY(openForm(kiosk));
        KeyboardPanel* panel = kiosk.panel;
        touchField(kiosk, "name");
        QTRY_VERIFY_WITH_TIMEOUT(panel->isActive(), 5000);
        QVERIFY(!key(panel, QString::fromUtf8("ä")));
        kiosk.window.setLanguage("de");
        QCOMPARE(panel->locale(), QString("de_DE"));
        QTRY_VERIFY(key(panel, QString::fromUtf8("ä")));
        if (upperCase(panel))
            QVERIFY(touchKey(panel, QString(), "ShiftKey"));
        QTRY_VERIFY(!upperCase(panel));
        QVERIFY(touchKey(panel, QString::fromUtf8("ä")));
        QTRY_COMPARE(value(kiosk, "name"), QString::fromUtf8("ä"));
        kiosk.window.setLanguage("fr");
        QCOMPARE(panel->locale(), QString("fr_FR"));
        QTRY_VERIFY(key(panel, "a") && !key(panel, QString::fromUtf8("ä")));
        kiosk.window.setLanguage("pt-br");
        QCOMPARE(panel->locale(), QString("en_US"));
        QTRY_VERIFY(key(panel, "a") && !key(panel, QString::fromUtf8("ä")));
    }

    // The device's language picks the keyboard's word dictionary: with a
    // German one (made here, where Qt's keyboard is told to look first)
    // German words are composed and suggested; without one the letters,
    // an "ä" as well, reach the field as they are touched, and nothing is
    // suggested.
    void germanWordsNeedTheGermanDictionary()
    {
        Kiosk kiosk;
        QVERIFY(openForm(kiosk));
        KeyboardPanel* panel = kiosk.panel;
        QTemporaryDir dictionaries;
        QVERIFY(dictionaries.isValid());
        auto write = [&](const char* name, const QByteArray& text) {
            QFile file(dictionaries.filePath(name));
            return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
        };
        // Words the user types that are not in it would be kept in a file
        // of the user's: these are.
        QVERIFY(write("de_DE.aff", "SET UTF-8\nTRY esianrtolcdughmbfkwz\n"));
        QVERIFY(write("de_DE.dic", "3\nhaus\nhase\nhafen\n"));
        const QByteArray oldPath = qgetenv("QT_VIRTUALKEYBOARD_HUNSPELL_DATA_PATH");
        auto restore = qScopeGuard([&] {
            if (oldPath.isNull())
                qunsetenv("QT_VIRTUALKEYBOARD_HUNSPELL_DATA_PATH");
            else
                qputenv("QT_VIRTUALKEYBOARD_HUNSPELL_DATA_PATH", oldPath);
            kiosk.window.setLanguage("en");
        });
        qputenv("QT_VIRTUALKEYBOARD_HUNSPELL_DATA_PATH", dictionaries.path().toUtf8());

        QLineEdit plain;
        QVERIFY(panelUpForPlainField(plain, panel));

        kiosk.window.setLanguage("de");
        QTRY_VERIFY(key(panel, QString::fromUtf8("\xc3\xa4")));
        // Qt 6.4 lays the shift key out a moment after the letters.
        QTRY_VERIFY(key(panel, QString(), "ShiftKey"));
        if (upperCase(panel))
            QVERIFY(touchKey(panel, QString(), "ShiftKey"));
        QTRY_VERIFY(!upperCase(panel));
        for (const char* letter : {"h", "a"})
            QVERIFY(touchKey(panel, letter));
        QTRY_VERIFY_WITH_TIMEOUT(suggestions(panel) > 0, 5000);
        QCOMPARE(plain.text(), QString()); // a word being composed
        for (const char* letter : {"u", "s", " "})
            QVERIFY(touchKey(panel, letter));
        QTRY_COMPARE(plain.text(), QString("haus "));

        // Without it.
        qunsetenv("QT_VIRTUALKEYBOARD_HUNSPELL_DATA_PATH");
        for (const char* directory : {"/usr/share/hunspell", "/usr/share/myspell/dicts"}) {
            if (QFile::exists(QString(directory) + "/de_DE.dic"))
                QSKIP("a German word dictionary is installed on this machine");
        }
        kiosk.window.setLanguage("fr");
        kiosk.window.setLanguage("de");
        QTRY_VERIFY(key(panel, QString::fromUtf8("\xc3\xa4")));
        // Qt 6.4 lays the shift key out a moment after the letters.
        QTRY_VERIFY(key(panel, QString(), "ShiftKey"));
        if (upperCase(panel))
            QVERIFY(touchKey(panel, QString(), "ShiftKey"));
        QTRY_VERIFY(!upperCase(panel));
        for (const char* letter : {"h", "\xc3\xa4"})
            QVERIFY(touchKey(panel, QString::fromUtf8(letter)));
        QTRY_COMPARE(plain.text(), QString::fromUtf8("haus h\xc3\xa4"));
        QTest::qWait(300);
        QCOMPARE(suggestions(panel), 0);
    }

    // Word suggestions come up for a plain field and never for a password.
    // QtWebEngine asks for none in any field of a page; a plain edit field
    // of our own shows that the dictionary does make them. Moving on to the
    // next field leaves the unfinished word of the last one in place.
    void passwordGetsNoSuggestions()
    {
        Kiosk kiosk;
        QVERIFY(openForm(kiosk));
        KeyboardPanel* panel = kiosk.panel;
        {
            QLineEdit plain;
            QVERIFY(panelUpForPlainField(plain, panel));
            for (const char* letter : {"h", "e", "l"})
                QVERIFY(touchKey(panel, letter));
            QTRY_VERIFY_WITH_TIMEOUT(suggestions(panel) > 0, 5000);
        }
        kiosk.window.activateWindow();

        // What the field being edited asks of the input method.
        auto hints = [] {
            QInputMethodQueryEvent query(Qt::ImHints);
            if (QObject* focus = QGuiApplication::focusObject())
                QCoreApplication::sendEvent(focus, &query);
            return Qt::InputMethodHints(query.value(Qt::ImHints).toInt());
        };
        touchField(kiosk, "name");
        QTRY_VERIFY_WITH_TIMEOUT(panel->isActive(), 5000);
        QCOMPARE(panel->host(), &kiosk.window);
        for (const char* letter : {"h", "e", "l"})
            QVERIFY(touchKey(panel, letter));
        QTRY_COMPARE(value(kiosk, "name").toLower(), QString("hel"));
        if (!(hints() & Qt::ImhNoPredictiveText))
            QTRY_VERIFY_WITH_TIMEOUT(suggestions(panel) > 0, 5000);

        touchField(kiosk, "secret");
        QTRY_VERIFY_WITH_TIMEOUT(panel->isActive(), 5000);
        QTRY_VERIFY(hints() & Qt::ImhHiddenText);
        QVERIFY(hints() & Qt::ImhNoPredictiveText);
        for (const char* letter : {"h", "e", "l"})
            QVERIFY(touchKey(panel, letter));
        QTRY_COMPARE(value(kiosk, "secret").toLower(), QString("hel"));
        QTest::qWait(300);
        QCOMPARE(suggestions(panel), 0);
        // The word left unfinished in the plain field stays there, whole,
        // and the focus stays in the password field.
        QCOMPARE(value(kiosk, "name").toLower(), QString("hel"));
        QCOMPARE(WebTest::runJs(kiosk.surface, "document.activeElement.id").toString(),
                 QString("secret"));
    }

    // The touch that lights a dark screen types nothing, wherever it lands:
    // on the page's place in the main window, or on a key of the panel in
    // the download dialog, which stays up while the screen is dark.
    void wakingTouchTypesNothing()
    {
        QVERIFY(m_env.loadIni("[UI]\nScreenSaverInterval=600000\n"));
        Kiosk kiosk;
        QVERIFY(openForm(kiosk));
        KeyboardPanel* panel = kiosk.panel;
        touchField(kiosk, "name");
        QTRY_VERIFY_WITH_TIMEOUT(panel->isActive(), 5000);
        QQuickItem* q = key(panel, "q");
        QVERIFY(q);
        const QPoint at = panel->mapTo(
            &kiosk.window, q->mapToScene(QPointF(q->width() / 2, q->height() / 2)).toPoint());
        auto* saver = Tessal::ScreenSaver::instance();
        saver->goSleep();
        QVERIFY(!saver->active());
        QTest::qWait(100);
        touch(&kiosk.window, at);
        QTRY_VERIFY(saver->active());
        QTest::qWait(300);
        QCOMPARE(value(kiosk, "name"), QString());
        // Lit, the same key types.
        QTest::qWait(Tessal::MouseEventFilter::WakeTouchGraceMs + 100);
        if (!panel->isActive())
            touchField(kiosk, "name");
        QTRY_VERIFY_WITH_TIMEOUT(panel->isActive(), 5000);
        QVERIFY(touchKey(panel, "q"));
        QTRY_COMPARE(value(kiosk, "name").toLower(), QString("q"));

        // The download dialog stays up while the screen is dark, and so does
        // the panel in it: the waking touch on one of its keys types nothing.
        Tessal::FileDialog dialog(true, "report.csv", &kiosk.window);
        dialog.setWindowModality(Qt::ApplicationModal);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto* edit = dialog.findChild<QLineEdit*>("editFileName");
        QVERIFY(edit);
        touch(&dialog, edit->mapTo(&dialog, edit->rect().center()));
        QTRY_VERIFY_WITH_TIMEOUT(panel->isActive() && panel->host() == &dialog, 5000);
        QTest::qWait(Tessal::MouseEventFilter::WakeTouchGraceMs + 100);
        saver->goSleep();
        QVERIFY(!saver->active());
        QTest::qWait(100);
        QVERIFY(panel->isActive());
        QVERIFY(touchKey(panel, "q"));
        QTRY_VERIFY(saver->active());
        QTest::qWait(300);
        QCOMPARE(edit->text(), QString("report.csv"));
        QTest::qWait(Tessal::MouseEventFilter::WakeTouchGraceMs + 100);
        QVERIFY(touchKey(panel, "q"));
        QTRY_VERIFY(edit->text() != QString("report.csv"));
        dialog.reject();
    }

    // The download dialog is modal: the panel comes up inside it for its
    // file-name field and types there; when the dialog goes, the panel is
    // back in the main window.
    void downloadDialogGetsTheKeyboard()
    {
        Kiosk kiosk;
        QVERIFY(openForm(kiosk));
        KeyboardPanel* panel = kiosk.panel;
        {
            Tessal::FileDialog dialog(true, "report.csv", &kiosk.window);
            dialog.setWindowModality(Qt::ApplicationModal);
            dialog.show();
            QVERIFY(QTest::qWaitForWindowExposed(&dialog));
            auto* edit = dialog.findChild<QLineEdit*>("editFileName");
            QVERIFY(edit);
            QCOMPARE(edit->text(), QString("report.csv"));
            touch(&dialog, edit->mapTo(&dialog, edit->rect().center()));
            QTRY_VERIFY_WITH_TIMEOUT(panel->isActive(), 5000);
            QCOMPARE(panel->host(), &dialog);
            QTRY_VERIFY(panel->isVisible());
            QVERIFY(!panel->geometry().intersects(
                QRect(edit->mapTo(&dialog, QPoint(0, 0)), edit->size())));
            edit->setCursorPosition(0);
            QVERIFY(touchKey(panel, "x"));
            QTRY_COMPARE(edit->text().toLower(), QString("xreport.csv"));
            QCOMPARE(dialog.getFilename(), edit->text());
            dialog.accept();
        }
        QCOMPARE(panel->host(), &kiosk.window);
        touchField(kiosk, "name");
        QTRY_VERIFY_WITH_TIMEOUT(panel->isActive(), 5000);
        QVERIFY(touchKey(panel, "m"));
        QTRY_COMPARE(value(kiosk, "name").toLower(), QString("m"));
    }

    // `[UI] VirtualKeyboard=false`: no keyboard at all, even when the
    // environment names Qt's virtual keyboard; true (the default): one.
    void settingTurnsItOff_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("expected");
        QTest::newRow("off") << QByteArray("[UI]\nVirtualKeyboard=false\n") << "none";
        QTest::newRow("default") << QByteArray() << "keyboard";
    }
    void settingTurnsItOff()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, expected);
        QVERIFY(m_env.loadIni(ini));
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TST_KEYBOARD_CHILD", "1");
        env.insert("QT_IM_MODULE", "qtvirtualkeyboard");
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), QStringList());
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()).trimmed(), expected);
    }

    // Not a check: the pictures of the keyboard for the documentation, made
    // when TESSAL_KEYBOARD_SCREENSHOTS names a directory (see
    // tools/keyboard_screens.sh), over the demo device's settings form.
    void screenshots()
    {
        const QString dir = qEnvironmentVariable("TESSAL_KEYBOARD_SCREENSHOTS");
        if (dir.isEmpty())
            QSKIP("TESSAL_KEYBOARD_SCREENSHOTS not set");
        QFile form(qEnvironmentVariable("TESSAL_SOURCE_DIR") + "/demo/www/settings.html");
        QVERIFY2(form.open(QIODevice::ReadOnly), qPrintable(form.fileName()));
        m_server.page("/settings.html", form.readAll());
        Kiosk kiosk;
        kiosk.window.setGeometry(0, 0, 800, 480);
        kiosk.window.show();
        kiosk.window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&kiosk.window));
        kiosk.window.getLabel()->hide();
        kiosk.window.getWebView()->show();
        kiosk.surface = kiosk.window.getWebView()->surface();
        kiosk.panel = kiosk.window.getKeyboard();
        QVERIFY(kiosk.panel);
        kiosk.window.getWebView()->loadUrl(QUrl(m_server.url("/settings.html")));
        QVERIFY(WebTest::waitForLoad(kiosk.surface));
        const QString engine = Tessal::WebSurface::engineName();
        auto shoot = [&](const QString& name) {
            QTest::qWait(700);
            const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0);
            QVERIFY(shot.save(dir + "/" + name));
        };
        touchField(kiosk, "password");
        QTRY_VERIFY_WITH_TIMEOUT(kiosk.panel->isActive(), 5000);
        touchField(kiosk, "name");
        QTest::qWait(300);
        for (const char* letter : {"t", "e", "s"})
            QVERIFY(touchKey(kiosk.panel, letter));
        shoot("keyboard-" + engine + ".png");
        QVERIFY(touchKey(kiosk.panel, QString(), "HideKeyboardKey"));
        QTRY_VERIFY(!kiosk.panel->isActive());
        kiosk.window.setLanguage("de");
        touchField(kiosk, "setpoint");
        QTRY_VERIFY_WITH_TIMEOUT(kiosk.panel->isActive(), 5000);
        touchField(kiosk, "name");
        QTRY_VERIFY(key(kiosk.panel, QString::fromUtf8("ä")));
        shoot("keyboard-de-" + engine + ".png");
    }
};

namespace
{

// The child of settingTurnsItOff: the kiosk's start-up as far as its window,
// with whatever ini file TESSAL_ROOT holds, and a focused text field that
// asks for the keyboard. Prints "keyboard" when one came up, "none" when not.
int keyboardChild(int argc, char** argv)
{
    KeyboardPanel::prepareFromSettings();
    QApplication app(argc, argv);
    MainWindow window;
    window.setGeometry(0, 0, 800, 480);
    window.show();
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window))
        return 2;
    auto* field = new QLineEdit(&window);
    field->setGeometry(10, 10, 300, 40);
    field->show();
    field->setFocus();
    if (window.getKeyboard())
        window.getKeyboard()->load();
    QGuiApplication::inputMethod()->show();
    QTest::qWait(1000);
    // The plugin's own panel would be a window of its own.
    bool shown = window.getKeyboard() && window.getKeyboard()->isActive();
    const auto windows = QGuiApplication::topLevelWindows();
    for (QWindow* w : windows)
        shown = shown || (w != window.windowHandle() && w->isVisible());
    fputs(shown ? "keyboard\n" : "none\n", stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariable("TST_KEYBOARD_CHILD") == "1")
        return keyboardChild(argc, argv);
    KeyboardPanel::prepareInputMethod(true);
    QApplication app(argc, argv);
    TestVirtualKeyboard test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_virtualkeyboard.moc"
