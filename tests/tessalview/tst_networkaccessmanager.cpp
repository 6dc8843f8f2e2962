// The kiosk's HTTP client against a real server on loopback: credentials on
// every request, request log lines, the first-request report and cookies.
#include "httptestserver.h"
#include "kiosktestenv.h"
#include "logcapture.h"
#include "networkaccessmanager.h"
#include "settings.h"

#include <QNetworkCookie>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QtTest>

using Tessal::NetworkAccessManager;
using Tessal::Settings;

class TestNetworkAccessManager : public QObject
{
    Q_OBJECT

private:
    KioskTestEnv m_env;
    HttpTestServer m_server;

    // Sends a GET through the manager and waits until it has finished.
    QNetworkReply* get(NetworkAccessManager& nam, const QString& url)
    {
        QNetworkReply* reply = nam.get(QNetworkRequest(QUrl(url)));
        QSignalSpy done(reply, &QNetworkReply::finished);
        if (!reply->isFinished())
            done.wait(5000);
        return reply;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_env.isValid());
        QVERIFY(m_server.start());
        m_server.page("/index.html", "<html><body>ok</body></html>");
        m_server.page("/private.html", "no", 401);
        HttpTestServer::Route slow;
        slow.body = "late";
        slow.delayMs = 3000;
        m_server.route("/slow.html", slow);
        HttpTestServer::Route cookie;
        cookie.body = "cookie";
        cookie.headers << qMakePair(QByteArray("Set-Cookie"), QByteArray("session=abc; Path=/"));
        m_server.route("/login.html", cookie);
    }

    void init()
    {
        m_server.clear();
        QVERIFY(m_env.loadIni(""));
    }

    void credentialsGoOnEveryRequestWhenLoginSet_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("login, empty password")
            << QByteArray("[WebSite]\nLogin=admin\nPassword=\n") << QByteArray("Basic YWRtaW46");
        QTest::newRow("login and password")
            << QByteArray("[WebSite]\nLogin=user\nPassword=secret\n")
            << "Basic " + QByteArray("user:secret").toBase64();
        QTest::newRow("no login, password only")
            << QByteArray("[WebSite]\nPassword=secret\n") << QByteArray();
    }
    void credentialsGoOnEveryRequestWhenLoginSet()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QByteArray, expected);
        QVERIFY(m_env.loadIni(ini));
        NetworkAccessManager nam;
        nam.setDeviceUrl(QUrl(m_server.url("/index.html")));
        delete get(nam, m_server.url("/index.html"));
        delete get(nam, m_server.url("/missing.png"));
        QCOMPARE(m_server.requests().size(), 2);
        for (const auto& request : m_server.requests()) {
            QCOMPARE(request.header("authorization"), expected);
            QCOMPARE(request.headers.contains("authorization"), !expected.isEmpty());
        }
    }

    // The login is the device's: another host (here the same server reached
    // by another name) never gets it, whatever the page asks for, and before
    // a device is attached nobody gets it.
    void credentialsOnlyToTheDevicesHost()
    {
        QVERIFY(m_env.loadIni("[WebSite]\nLogin=admin\nPassword=pw\n"));
        const QByteArray credentials = "Basic " + QByteArray("admin:pw").toBase64();
        const QString foreign = QString("http://localhost:%1/index.html").arg(m_server.port());
        NetworkAccessManager nam;
        delete get(nam, m_server.url("/index.html"));
        QVERIFY(!m_server.requests().last().headers.contains("authorization"));

        nam.setDeviceUrl(QUrl(m_server.url("/index.html")));
        delete get(nam, m_server.url("/index.html"));
        QCOMPARE(m_server.requests().last().header("authorization"), credentials);
        delete get(nam, foreign);
        QVERIFY(!m_server.requests().last().headers.contains("authorization"));
        // A request that already carries the device's header (as a redirect
        // built from the device's request would) loses it on the way out.
        QNetworkRequest carried{QUrl(foreign)};
        carried.setRawHeader("Authorization", credentials);
        QNetworkReply* reply = nam.get(carried);
        QTRY_VERIFY(reply->isFinished());
        delete reply;
        QCOMPARE(m_server.requests().size(), 4);
        QVERIFY(!m_server.requests().last().headers.contains("authorization"));
        // A header of the page's own making is the page's business.
        QNetworkRequest own{QUrl(foreign)};
        own.setRawHeader("Authorization", "Bearer page-token");
        reply = nam.get(own);
        QTRY_VERIFY(reply->isFinished());
        delete reply;
        QCOMPARE(m_server.requests().last().header("authorization"),
                 QByteArray("Bearer page-token"));

        // A new attachment moves the login to the new device.
        nam.setDeviceUrl(QUrl(foreign));
        delete get(nam, foreign);
        QCOMPARE(m_server.requests().last().header("authorization"), credentials);
        delete get(nam, m_server.url("/index.html"));
        QVERIFY(!m_server.requests().last().headers.contains("authorization"));
    }

    void quietLogWithoutVerbose()
    {
        LogCapture log;
        NetworkAccessManager nam;
        delete get(nam, m_server.url("/index.html"));
        QCOMPARE(log.lines().size(), 0);
        delete get(nam, m_server.url("/nothing-here.png"));
        QCOMPARE(log.lines().size(), 1);
        QVERIFY(log.lines().first().contains(QRegularExpression(
            "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} - Request '" +
            QRegularExpression::escape(m_server.url("/nothing-here.png")) + "' failed: ")));
    }

    void verboseLogGivesStartAndDuration()
    {
        Settings::setLogVerbose(true);
        LogCapture log;
        NetworkAccessManager nam;
        delete get(nam, m_server.url("/index.html"));
        Settings::setLogVerbose(false);
        const QString url = QRegularExpression::escape(m_server.url("/index.html"));
        QCOMPARE(log.lines().size(), 2);
        QVERIFY(log.lines().at(0).contains(
            QRegularExpression(" - \\[REQUEST\\] Request '" + url + "' started$")));
        QVERIFY2(log.lines().at(1).contains(QRegularExpression(" - \\[REQUEST\\] Request '" + url +
                                                               "' finished \\(took \\d+ms\\)$")),
                 qPrintable(log.lines().at(1)));
    }

    void firstRequestIsReportedOncePerReset()
    {
        NetworkAccessManager nam;
        QSignalSpy spy(&nam, &NetworkAccessManager::firstRequestStatus);
        delete get(nam, m_server.url("/index.html"));
        delete get(nam, m_server.url("/missing.png"));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toBool(), false);

        nam.reset();
        delete get(nam, m_server.url("/missing.png"));
        delete get(nam, m_server.url("/index.html"));
        QCOMPARE(spy.count(), 2);
        QCOMPARE(spy.at(1).at(0).toBool(), true);
    }

    void cancelledRequestIsNotTheFirst()
    {
        NetworkAccessManager nam;
        QSignalSpy spy(&nam, &NetworkAccessManager::firstRequestStatus);
        delete get(nam, m_server.url("/index.html"));
        nam.reset();
        LogCapture log;
        QNetworkReply* slow = nam.get(QNetworkRequest(QUrl(m_server.url("/slow.html"))));
        QTRY_COMPARE(m_server.count("/slow.html"), 1);
        slow->abort();
        QTRY_VERIFY(slow->isFinished());
        QCOMPARE(slow->error(), QNetworkReply::OperationCanceledError);
        delete slow;
        // Logged as a failure, but not reported.
        QCOMPARE(log.count("Request '" + m_server.url("/slow.html") + "' failed"), 1);
        QCOMPARE(spy.count(), 1);

        delete get(nam, m_server.url("/index.html"));
        QCOMPARE(spy.count(), 2);
        QCOMPARE(spy.at(1).at(0).toBool(), false);
    }

    void challengeIsNotAnswered()
    {
        QVERIFY(m_env.loadIni("[WebSite]\nLogin=admin\nPassword=wrong\n"));
        NetworkAccessManager nam;
        QSignalSpy spy(&nam, &NetworkAccessManager::firstRequestStatus);
        HttpTestServer::Route challenge;
        challenge.status = 401;
        challenge.body = "denied";
        challenge.headers << qMakePair(QByteArray("WWW-Authenticate"),
                                       QByteArray("Basic realm=\"device\""));
        m_server.route("/protected.html", challenge);
        QNetworkReply* reply = get(nam, m_server.url("/protected.html"));
        QVERIFY(reply->isFinished());
        QCOMPARE(reply->error(), QNetworkReply::AuthenticationRequiredError);
        // One request only: nobody answered the challenge with a second try.
        QCOMPARE(m_server.count("/protected.html"), 1);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toBool(), true);
        delete reply;
    }

    void cookiesLastForTheProcessOnly()
    {
        {
            NetworkAccessManager nam;
            delete get(nam, m_server.url("/login.html"));
            delete get(nam, m_server.url("/index.html"));
            QCOMPARE(m_server.requestsFor("/index.html").last().header("cookie"),
                     QByteArray("session=abc"));
        }
        NetworkAccessManager fresh;
        delete get(fresh, m_server.url("/index.html"));
        QVERIFY(!m_server.requestsFor("/index.html").last().headers.contains("cookie"));
    }
};

QTEST_MAIN(TestNetworkAccessManager)
#include "tst_networkaccessmanager.moc"
