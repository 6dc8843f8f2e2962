#ifndef TESSAL_WEBPAGE_H
#define TESSAL_WEBPAGE_H

#include <QUrl>
#include <QWebPage>

class QNetworkReply;

namespace Tessal
{

class MainWindow;
class DownloadHandler;

// The page of the kiosk's web view: every request goes through the main
// window's NetworkAccessManager, every finished request is reported as
// success or failure, and content the engine cannot show becomes a download.
class WebPage : public QWebPage
{
    Q_OBJECT
public:
    explicit WebPage(MainWindow* mainWindow, QObject* parent = nullptr);
    ~WebPage() override;

    static const char* const UserAgent;

    QUrl getCurrentUrl() const { return currentUrl; }

signals:
    void loadingUrl(QUrl url);
    void responseError(bool noerr);

public slots:
    void handleUnsupportedContent(QNetworkReply* reply);
    void httpResponseFinished(QNetworkReply* reply);

protected:
    bool acceptNavigationRequest(QWebFrame* frame, const QNetworkRequest& request,
                                 NavigationType type) override;
    QString chooseFile(QWebFrame* frame, const QString& suggestedFile) override;
    QString userAgentForUrl(const QUrl& url) const override;

private:
    MainWindow* mainWindow;
    DownloadHandler* downloadHandler;
    QUrl currentUrl;
};

} // namespace Tessal

#endif
