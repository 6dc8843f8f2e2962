#ifndef TESSAL_NETWORKACCESSMANAGER_H
#define TESSAL_NETWORKACCESSMANAGER_H

#include <QNetworkAccessManager>

#include <QAuthenticator>

namespace Tessal
{

// The one HTTP client of the web page: puts the configured Basic credentials
// on every request up front, logs requests, and reports once per reset
// whether the first request succeeded.
class NetworkAccessManager : public QNetworkAccessManager
{
    Q_OBJECT
public:
    explicit NetworkAccessManager(QObject* parent = nullptr);

    // The next finished, not cancelled request is reported again.
    void reset();

    // Request attribute that carries the creation time in verbose mode.
    static const QNetworkRequest::Attribute StartTimeAttribute = QNetworkRequest::User;

signals:
    void firstRequestStatus(bool error);

public slots:
    void requestFinished(QNetworkReply* reply);

protected:
    QNetworkReply* createRequest(Operation op, const QNetworkRequest& request,
                                 QIODevice* outgoingData) override;

private slots:
    void authenticationRequired(QNetworkReply* reply, QAuthenticator* authenticator);

private:
    bool isFirstRequest;
};

} // namespace Tessal

#endif
