#ifndef TESSAL_KEYBOARDPANEL_H
#define TESSAL_KEYBOARDPANEL_H

#include <QPointer>
#include <QQuickWidget>
#include <QRect>
#include <QSize>
#include <QString>

class QQuickItem;

namespace Tessal
{

// The on-screen keyboard: Qt Virtual Keyboard's input panel in a quick widget
// that sits at the bottom of the kiosk window holding the focus (the main
// window, or a modal dialog while one is open). It is shown while the input
// method is visible; the window it sits in gives up that much room.
class KeyboardPanel : public QQuickWidget
{
    Q_OBJECT
public:
    // Chooses Qt's input method before the application object exists: the
    // virtual keyboard, embedded in our own windows, when `on`; otherwise
    // no virtual keyboard at all, even when the environment names it.
    static void prepareInputMethod(bool on);
    // The same from the ini file's `[UI] VirtualKeyboard`, read for it
    // before the application object exists (the start-up reads it again).
    static void prepareFromSettings();
    // Whether the application's input method is the virtual keyboard.
    static bool inputMethodReady();

    // The one panel, created in `home` (the main window) when the input
    // method is ready; null otherwise. Its QML is loaded by load(), which
    // the main window calls once its first page is shown.
    static KeyboardPanel* create(QWidget* home);
    static KeyboardPanel* instance();

    // The keyboard layout for a device language ("de", "fr-ch", "en"):
    // German and French have their own, every other language gets English.
    static QString localeFor(const QString& language);
    void setLanguage(const QString& language);
    QString locale() const;

    // Whether the panel is up, and the height it takes at the bottom of
    // its window (0 when it is down).
    bool isActive() const;
    int takenHeight() const;
    // The QML input panel itself (null until loaded).
    QQuickItem* inputPanel() const;
public slots:
    // Loads the keyboard's QML (once); false when it cannot be (a missing
    // module is logged), and the panel then never shows.
    bool load();

public:
    // The window the panel sits in now.
    QWidget* host() const { return parentWidget(); }

signals:
    // The panel came up or went down in `window`.
    void activeChanged(QWidget* window, bool active);
    // The user hid the panel with the hide key that the panel adds to a
    // layout without one: done typing in `window`.
    void typingDone(QWidget* window);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit KeyboardPanel(QWidget* home);
    ~KeyboardPanel() override;
    void moveTo(QWidget* window);
    void place();
    void fitHost(QWidget* window, bool up);
    void followFocus(QWidget* now);

private slots:
    void hideKeyTouched();
    void panelStateChanged();

private:
    static KeyboardPanel* staticInstance;
    QPointer<QWidget> home;
    bool active = false;
    bool loaded = false;
    QString wantedLocale = QStringLiteral("en_US");
    // The dialog grown to the screen while the panel is up in it.
    QPointer<QWidget> grownHost;
    QRect savedGeometry;
    QSize savedMinimum;
    QSize savedMaximum;
};

} // namespace Tessal

#endif
