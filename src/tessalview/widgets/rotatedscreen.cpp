#include "rotatedscreen.h"

#include "logging.h"
#include "screensaver.h"
#include "touchpoints.h"

#include <QApplication>
#include <QDebug>
#include <QEvent>
#include <QGraphicsProxyWidget>
#include <QGraphicsScene>
#include <QResizeEvent>
#include <QTimer>
#include <QTouchEvent>

#include <algorithm>

namespace Tessal
{

int RotatedScreen::degreesFromSetting(const QString& value)
{
    const QString text = value.trimmed();
    if (text == "0" || text == "90" || text == "180" || text == "270")
        return text.toInt();
    qCWarning(lcUi).noquote()
        << QString("Rotation '%1' is not one of 0, 90, 180 or 270: the picture is not turned")
               .arg(value);
    return 0;
}

RotatedScreen::RotatedScreen(QWidget* content, int degrees, QWidget* parent)
    : QGraphicsView(parent), angle(degrees), scene(new QGraphicsScene(this)), contentProxy(nullptr),
      hosted(content)
{
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setBackgroundBrush(Qt::black);
    // Every change repaints the whole turned picture: no seam is left where
    // the edge of a turned rectangle falls between pixels.
    setViewportUpdateMode(QGraphicsView::FullViewportUpdate);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setScene(scene);
    // Touches come to the view itself, which hands them on turned
    // (forwardTouch).
    viewport()->setAttribute(Qt::WA_AcceptTouchEvents);
    setMouseTracking(true);
    // The view takes the finger first: the screen saver sees every touch
    // here, as it does on the window when the picture is not turned.
    ScreenSaver::instance()->handleMouseMove(viewport());

    contentProxy = scene->addWidget(content);
    rotate(angle);
    layoutScene();
    qApp->installEventFilter(this);
    qCInfo(lcUi).noquote()
        << QString("Picture and touch turned by %1 degrees clockwise").arg(angle);
}

RotatedScreen::~RotatedScreen()
{
    qApp->removeEventFilter(this);
    // The scene would delete the content with its proxy. (The toolkit
    // takes the content's dialogs out of the scene with it.)
    releaseContent();
}

QWidget* RotatedScreen::releaseContent()
{
    QWidget* content = hosted;
    if (contentProxy) {
        contentProxy->setWidget(nullptr);
        delete contentProxy;
        contentProxy = nullptr;
    }
    hosted = nullptr;
    return content;
}

QSize RotatedScreen::contentSize() const
{
    const QSize screen = viewport()->size();
    return angle % 180 == 0 ? screen : screen.transposed();
}

void RotatedScreen::resizeEvent(QResizeEvent* event)
{
    QGraphicsView::resizeEvent(event);
    layoutScene();
}

void RotatedScreen::layoutScene()
{
    const QSize size = contentSize();
    if (hosted)
        hosted->setGeometry(0, 0, size.width(), size.height());
    if (contentProxy) {
        contentProxy->setPos(0, 0);
        contentProxy->resize(size);
    }
    scene->setSceneRect(0, 0, size.width(), size.height());
    // The turned scene rectangle covers the viewport exactly: no scrolling,
    // no offset.
    centerOn(size.width() / 2.0, size.height() / 2.0);
}

bool RotatedScreen::viewportEvent(QEvent* event)
{
    switch (event->type()) {
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
        if (forwardTouch(static_cast<QTouchEvent*>(event)))
            return true;
        break;
    default:
        break;
    }
    return QGraphicsView::viewportEvent(event);
}

bool RotatedScreen::forwardTouch(QTouchEvent* event)
{
    // A graphics scene gives its widgets mouse events only: without this, a
    // page's own touch handlers (a slider) would see no touch when turned.
    const QEvent::Type type = event->type();
    if (type == QEvent::TouchBegin) {
        touchTarget = nullptr;
        touchProxy = nullptr;
        QPointF first;
        if (!TouchPoints::firstPosition(*event, &first))
            return false;
        const QPointF at = mapToScene(first.toPoint());
        QGraphicsItem* item = scene->itemAt(at, transform());
        auto* proxy = item ? qgraphicsitem_cast<QGraphicsProxyWidget*>(item) : nullptr;
        // A modal dialog in the scene keeps touches from what lies behind
        // it: the scene itself decides for those, through mouse events.
        if (!proxy || !proxy->widget() || proxy->isBlockedByModalPanel())
            return false;
        QWidget* widget = proxy->widget();
        QWidget* under = widget->childAt(proxy->mapFromScene(at).toPoint());
        for (QWidget* w = under ? under : widget; w; w = w->parentWidget()) {
            if (w->testAttribute(Qt::WA_AcceptTouchEvents) && w->isEnabled() && w->isVisible()) {
                touchTarget = w;
                break;
            }
            if (w == widget)
                break;
        }
        if (!touchTarget)
            return false;
        touchProxy = proxy;
    }
    if (!touchTarget || !touchProxy)
        return false;

    // Each point in the target's own coordinates; the screen positions stay
    // the glass's.
    QWidget* const embedded = touchProxy->widget();
    const auto local = [this, embedded](const QPointF& viewportPos) {
        const QPointF inProxy = touchProxy->mapFromScene(mapToScene(viewportPos.toPoint()));
        return QPointF(touchTarget->mapFrom(embedded, inProxy.toPoint()));
    };
    const std::unique_ptr<QTouchEvent> forwarded = TouchPoints::mapped(*event, touchTarget, local);
    QPointer<QWidget> target = touchTarget;
    QApplication::sendEvent(target, forwarded.get());
    if (type == QEvent::TouchBegin && !forwarded->isAccepted()) {
        // Not taken: the touch becomes mouse events, like upright.
        touchTarget = nullptr;
        touchProxy = nullptr;
        return false;
    }
    if (type == QEvent::TouchEnd || type == QEvent::TouchCancel) {
        touchTarget = nullptr;
        touchProxy = nullptr;
    }
    event->accept();
    return true;
}

bool RotatedScreen::belongsToContent(const QWidget* widget) const
{
    for (const QWidget* w = widget ? widget->parentWidget() : nullptr; w; w = w->parentWidget()) {
        if (w == hosted)
            return true;
    }
    return false;
}

bool RotatedScreen::eventFilter(QObject* watched, QEvent* event)
{
    // A dialog of the content (a popup message, the progress bar, the file
    // dialog) opens in the scene, not as a window of its own drawn unturned:
    // this makes it a plain part of the turned picture, in its middle.
    const QEvent::Type type = event->type();
    if ((type == QEvent::Show || type == QEvent::Resize || type == QEvent::Move) &&
        watched->isWidgetType()) {
        auto* widget = static_cast<QWidget*>(watched);
        // Popups (a menu, a list's drop-down) are placed by the toolkit
        // next to what opened them, already in the scene.
        if (widget->windowType() == Qt::Dialog && belongsToContent(widget)) {
            if (type == QEvent::Show)
                hostDialog(widget);
            // The toolkit places a dialog over its owner in the coordinates
            // of a screen that is not turned: it goes back to the middle.
            else if (widget->graphicsProxyWidget())
                QTimer::singleShot(0, widget, [this, widget] { centreDialog(widget); });
        }
    }
    return QGraphicsView::eventFilter(watched, event);
}

void RotatedScreen::hostDialog(QWidget* dialog)
{
    // The toolkit hosts a window whose owner is hosted in a scene in that
    // scene too, as a child of the owner's proxy.
    QGraphicsProxyWidget* proxy = dialog->graphicsProxyWidget();
    if (!proxy) {
        qCWarning(lcUi).noquote() << "A dialog opens outside the turned screen:"
                                  << dialog->metaObject()->className();
        return;
    }
    // The scene draws a title bar round a window item unless told not to.
    // (Its window type stays: the scene keeps a window's focus chain apart.)
    if (proxy->isWindow())
        proxy->setWindowFlags(proxy->windowFlags() | Qt::FramelessWindowHint);
    // The dialog has no window of its own, so the toolkit's modality blocks
    // nothing: a modal dialog blocks the page behind it as a modal panel of
    // the scene instead.
    if (dialog->isModal() || dialog->windowModality() != Qt::NonModal) {
        proxy->setFlag(QGraphicsItem::ItemIsPanel);
        proxy->setPanelModality(QGraphicsItem::SceneModal);
    }
    centreDialog(dialog);
}

void RotatedScreen::centreDialog(QWidget* dialog)
{
    QGraphicsProxyWidget* proxy = dialog->graphicsProxyWidget();
    if (!proxy)
        return;
    // A dialog made for the wide screen (the file dialog is 512 wide) is
    // scaled down to fit the turned one rather than cut at its edges.
    const QSize area = contentSize();
    const QSizeF box = proxy->size();
    if (box.isEmpty() || area.isEmpty())
        return;
    const qreal scale = std::min({1.0, area.width() / box.width(), area.height() / box.height()});
    const QPointF middle((area.width() - box.width() * scale) / 2.0,
                         (area.height() - box.height() * scale) / 2.0);
    if (!qFuzzyCompare(proxy->scale(), scale))
        proxy->setScale(scale);
    if (proxy->pos() != middle)
        proxy->setPos(middle);
}

} // namespace Tessal
