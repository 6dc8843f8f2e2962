#include "webkitsurface.h"

#include "gesturelockdown.h"
#include "webpage.h"

#include <QEvent>
#include <QGuiApplication>
#include <QInputMethod>
#include <QVBoxLayout>
#include <QWebElement>
#include <QWebFrame>
#include <QWebSettings>
#include <QWebView>

namespace Tessal
{

namespace
{

// QtWebKit answers the input method's question for hints with none, and the
// hints it puts on the view for a password field last only until the first
// key: an on-screen keyboard would offer (and learn) word suggestions for a
// password. The answer is taken from the focused element itself: a password
// field is hidden, sensitive text, never predicted.
class PageView : public QWebView
{
public:
    using QWebView::QWebView;
    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override
    {
        QVariant value = QWebView::inputMethodQuery(query);
        if (query != Qt::ImHints)
            return value;
        Qt::InputMethodHints hints(value.toInt());
        QWebFrame* frame = page() ? page()->currentFrame() : nullptr;
        const QWebElement focused = frame ? frame->findFirstElement(":focus") : QWebElement();
        if (focused.tagName().compare("input", Qt::CaseInsensitive) == 0 &&
            focused.attribute("type").trimmed().compare("password", Qt::CaseInsensitive) == 0)
            hints |= Qt::ImhHiddenText | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText |
                     Qt::ImhNoAutoUppercase;
        return int(hints);
    }

protected:
    // A word being composed is finished in its own field before a touch
    // moves the focus: the engine keeps the composition after the field
    // loses the focus, and the next word's end would overwrite that field's
    // whole text and move the focus back to it.
    bool event(QEvent* event) override
    {
        if ((event->type() == QEvent::MouseButtonPress || event->type() == QEvent::TouchBegin) &&
            QGuiApplication::focusObject() == this)
            QGuiApplication::inputMethod()->commit();
        return QWebView::event(event);
    }
};

} // namespace

const char* const WebSurface::UserAgent = "Tessal TessalView/2.0 WebKit";

WebSurface* WebSurface::create(const Services& services, QWidget* parent)
{
    return new WebKitSurface(services, parent);
}

QString WebSurface::engineName()
{
    return QStringLiteral("webkit");
}

void WebSurface::configureStorage(const QString& directory)
{
    // Nothing of a page reaches the disk, and nothing it stored is found by
    // the next run: the directory is not used. Local storage stays on, kept
    // in memory for the run (the engine keeps it there when it has no
    // directory), so a page that relies on it within a run keeps working.
    // The offline databases are off: Web SQL has no form in memory, and
    // IndexedDB shares its switch. The engine still records each site that
    // asks for a database in a file of its own, in the working directory
    // when given no directory: below /dev/null no file can be made. The
    // offline application cache is a disk cache and off too. Without an
    // icon database the engine also never fetches "/favicon.ico", whose
    // failure on a device without one would replace every page by the
    // error page.
    Q_UNUSED(directory);
    QWebSettings* global = QWebSettings::globalSettings();
    global->setAttribute(QWebSettings::LocalStorageEnabled, true);
    global->setLocalStoragePath(QString());
    global->setAttribute(QWebSettings::OfflineStorageDatabaseEnabled, false);
    global->setAttribute(QWebSettings::OfflineWebApplicationCacheEnabled, false);
    QWebSettings::setOfflineStoragePath(QStringLiteral("/dev/null"));
    QWebSettings::setIconDatabasePath(QString());
}

WebKitSurface::WebKitSurface(const Services& services, QWidget* parent)
    : WebSurface(parent), view(new PageView(this)), page(new WebPage(services, view))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view);
    view->setMouseTracking(true);
    view->setPage(page);
    page->setForwardUnsupportedContent(true);
    page->mainFrame()->setScrollBarPolicy(Qt::Vertical, Qt::ScrollBarAlwaysOff);
    page->mainFrame()->setScrollBarPolicy(Qt::Horizontal, Qt::ScrollBarAlwaysOff);

    lockdown = GestureLockdown::enabled();
    if (lockdown) {
        // QtWebKit has no pinch or double-tap zoom and no overscroll: what
        // remains are the style rules (a user style sheet, which no rule of
        // a page overrides), the page script in every frame before the
        // frame's own scripts, the keys, and the menu.
        (new GestureLockdown(this))->watch(view);
        view->setContextMenuPolicy(Qt::NoContextMenu);
        page->blockHistoryActions();
        auto inject = [](QWebFrame* frame) {
            connect(frame, &QWebFrame::javaScriptWindowObjectCleared, frame,
                    [frame] { frame->evaluateJavaScript(GestureLockdown::pageScript()); });
        };
        inject(page->mainFrame());
        connect(page, &QWebPage::frameCreated, this, inject);
        applyStyleSheets();
    }

    connect(view, &QWebView::loadStarted, this, &WebSurface::loadStarted);
    connect(view, &QWebView::loadFinished, this, &WebSurface::loadFinished);
    connect(view, &QWebView::loadProgress, this, &WebSurface::loadProgress);
    connect(page, &WebPage::loadingUrl, this, &WebSurface::urlChanged);
    connect(page, &WebPage::loadBecameDownload, this, &WebSurface::loadBecameDownload);
    connect(page, &WebPage::responseError, this, &WebSurface::responseFinished);
    // The engine ends a word being composed when its field loses the focus;
    // the input method, which sees one widget throughout, must forget it too,
    // or it would later write it into the field that has the focus now.
    connect(page, &QWebPage::focusedElementChanged, view, [this] {
        if (QGuiApplication::focusObject() == view)
            QGuiApplication::inputMethod()->reset();
    });
}

WebKitSurface::~WebKitSurface()
{
    // The page ends its load while it goes: nobody is to hear of it.
    disconnect(view, nullptr, this, nullptr);
    disconnect(page, nullptr, this, nullptr);
}

void WebKitSurface::load(const QUrl& url)
{
    page->startKioskLoad();
    view->load(url);
}

void WebKitSurface::stop()
{
    view->triggerPageAction(QWebPage::Stop);
}

void WebKitSurface::reload()
{
    page->startKioskLoad();
    view->reload();
}

QUrl WebKitSurface::url() const
{
    return view->url();
}

qreal WebKitSurface::zoomFactor() const
{
    return view->zoomFactor();
}

QUrl WebKitSurface::currentUrl() const
{
    return page->getCurrentUrl();
}

void WebKitSurface::setHtml(const QString& html, const QUrl& baseUrl)
{
    page->mainFrame()->setHtml(html, baseUrl);
}

void WebKitSurface::setUserStyleSheet(const QString& dataUrl)
{
    pageStyleSheet = dataUrl;
    applyStyleSheets();
}

void WebKitSurface::applyStyleSheets()
{
    // The engine takes one user style sheet: the kiosk's and the lockdown's
    // rules go into one.
    if (!lockdown) {
        page->settings()->setUserStyleSheetUrl(QUrl(pageStyleSheet));
        return;
    }
    static const QString prefix = QStringLiteral("data:text/css;charset=utf-8;base64,");
    QByteArray css;
    if (pageStyleSheet.startsWith(prefix))
        css = QByteArray::fromBase64(pageStyleSheet.mid(prefix.size()).toLatin1()) + "\n";
    else if (!pageStyleSheet.isEmpty())
        css = "@import url(\"" + pageStyleSheet.toUtf8() + "\");\n";
    css += GestureLockdown::styleSheet().toUtf8();
    page->settings()->setUserStyleSheetUrl(QUrl(prefix + QString::fromLatin1(css.toBase64())));
}

void WebKitSurface::runJavaScript(const QString& script, std::function<void(const QVariant&)> done)
{
    const QVariant result = page->mainFrame()->evaluateJavaScript(script);
    if (done)
        done(result);
}

void WebKitSurface::toPlainText(std::function<void(const QString&)> done)
{
    done(page->mainFrame()->toPlainText());
}

void WebKitSurface::toHtml(std::function<void(const QString&)> done)
{
    done(page->mainFrame()->toHtml());
}

void WebKitSurface::setInputFilter(QObject* filter)
{
    view->installEventFilter(filter);
}

QWidget* WebKitSurface::inputWidget() const
{
    return view;
}

} // namespace Tessal
