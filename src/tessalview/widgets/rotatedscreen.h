#ifndef TESSAL_ROTATEDSCREEN_H
#define TESSAL_ROTATEDSCREEN_H

#include <QGraphicsView>
#include <QPointer>
#include <QSize>
#include <QString>

class QGraphicsProxyWidget;
class QGraphicsScene;
class QTouchEvent;

namespace Tessal
{

// The kiosk's picture turned by 90, 180 or 270 degrees clockwise, for a unit
// mounted on its side or upside down. Qt 5.15's linuxfb platform cannot turn
// the screen, so the window turns itself: the content widget (the main
// window) is hosted in a graphics scene and this full-screen view draws it
// through a rotation. The same transform maps every touch and click back
// into the content, so a finger lands on what is drawn under it. Dialogs
// opened over the content are drawn in the scene too, turned with it.
class RotatedScreen : public QGraphicsView
{
    Q_OBJECT
public:
    // The clockwise angle of a `[UI] Rotation` value: 0, 90, 180 or 270.
    // Anything else is logged and gives 0 (the picture as it is), so a typing
    // error in the ini file never leaves the unit without a picture.
    static int degreesFromSetting(const QString& value);

    // Hosts `content`, a widget without parent that stays the caller's (it
    // is given back when the view goes). `degrees` is 90, 180 or 270.
    RotatedScreen(QWidget* content, int degrees, QWidget* parent = nullptr);
    ~RotatedScreen() override;

    int degrees() const { return angle; }
    QWidget* content() const { return hosted; }
    // The size the content lays out for: the screen's, turned.
    QSize contentSize() const;
    // Gives the content back as a widget of its own; the view shows nothing
    // afterwards.
    QWidget* releaseContent();

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void layoutScene();
    // Hands a touch to the hosted widget under it that takes touches (the
    // web view's), in that widget's coordinates; false when none takes it,
    // so the toolkit turns it into mouse events as for any other widget.
    bool forwardTouch(QTouchEvent* event);
    // Makes a dialog of the content, hosted in the scene by the toolkit,
    // part of the turned picture: frameless, modal in the scene, centred.
    void hostDialog(QWidget* dialog);
    void centreDialog(QWidget* dialog);
    bool belongsToContent(const QWidget* widget) const;

    int angle;
    QGraphicsScene* scene;
    QGraphicsProxyWidget* contentProxy;
    QPointer<QWidget> hosted;
    // The widget that took the touch under way, and the proxy it is in.
    QPointer<QWidget> touchTarget;
    QPointer<QGraphicsProxyWidget> touchProxy;
};

} // namespace Tessal

#endif
