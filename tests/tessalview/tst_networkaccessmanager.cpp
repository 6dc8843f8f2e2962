// The kiosk's HTTP client against real servers on loopback: credentials on
// the device's origin only, the device's pinned certificate (a Python HTTPS
// server with certificates made by openssl), request log lines, the
// first-request report and cookies.
#include "certificatepin.h"
#include "deviceorigin.h"
#include "httptestserver.h"
#include "kiosktestenv.h"
#include "logcapture.h"
#include "networkaccessmanager.h"
#include "recordingserver.h"
#include "settings.h"

#include <QNetworkCookie>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QtTest>

using Tessal::CertificatePin;
using Tessal::DeviceOrigin;
using Tessal::NetworkAccessManager;
using Tessal::Settings;

class TestNetworkAccessManager : public QObject
{
    Q_OBJECT

private:
    KioskTestEnv m_env;
    HttpTestServer m_server;
    // The device over HTTPS with its own certificate, and a certificate that
    // is not the device's.
    QTemporaryDir m_certDir;
    TestCertificate m_deviceCert;
    TestCertificate m_otherCert;
    RecordingServer m_https;

    QString httpsUrl(const QString& path) const
    {
        return QString("https://127.0.0.1:%1%2").arg(m_https.port()).arg(path);
    }

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
        QVERIFY(m_deviceCert.make(m_certDir.path(), "device"));
        QVERIFY(m_otherCert.make(m_certDir.path(), "other"));
        QVERIFY(m_deviceCert.fingerprint != m_otherCert.fingerprint);
        QVERIFY(m_https.start(m_deviceCert.cert, m_deviceCert.key));
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
    // by another name) or another port of the device's host never gets it,
    // whatever the page asks for, and before a device is attached nobody
    // gets it.
    void credentialsOnlyToTheDevicesOrigin()
    {
        QVERIFY(m_env.loadIni("[WebSite]\nLogin=admin\nPassword=pw\n"));
        const QByteArray credentials = "Basic " + QByteArray("admin:pw").toBase64();
        const QString foreign = QString("http://localhost:%1/index.html").arg(m_server.port());
        HttpTestServer otherPort;
        QVERIFY(otherPort.start());
        otherPort.page("/index.html", "other port");
        NetworkAccessManager nam;
        delete get(nam, m_server.url("/index.html"));
        QVERIFY(!m_server.requests().last().headers.contains("authorization"));

        nam.setDeviceUrl(QUrl(m_server.url("/index.html")));
        delete get(nam, m_server.url("/index.html"));
        QCOMPARE(m_server.requests().last().header("authorization"), credentials);
        delete get(nam, foreign);
        QVERIFY(!m_server.requests().last().headers.contains("authorization"));
        delete get(nam, otherPort.url("/index.html"));
        QCOMPARE(otherPort.requests().size(), 1);
        QVERIFY(!otherPort.requests().last().headers.contains("authorization"));
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

        // A request that the engine says a page of another origin started
        // gets no login, not even to the device.
        nam.setStartedByDevice(
            [](const QNetworkRequest& r) { return !r.hasRawHeader("X-Test-Foreign"); });
        QNetworkRequest fromForeign{QUrl(m_server.url("/index.html"))};
        fromForeign.setRawHeader("X-Test-Foreign", "1");
        reply = nam.get(fromForeign);
        QTRY_VERIFY(reply->isFinished());
        delete reply;
        QVERIFY(!m_server.requests().last().headers.contains("authorization"));
        delete get(nam, m_server.url("/index.html"));
        QCOMPARE(m_server.requests().last().header("authorization"), credentials);
        nam.setStartedByDevice({});

        // A new attachment moves the login to the new device.
        nam.setDeviceUrl(QUrl(foreign));
        delete get(nam, foreign);
        QCOMPARE(m_server.requests().last().header("authorization"), credentials);
        delete get(nam, m_server.url("/index.html"));
        QVERIFY(!m_server.requests().last().headers.contains("authorization"));
    }

    // The device's origin is scheme, host and effective port.
    void deviceOriginMatches_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("same");
        QTest::newRow("same page") << "http://10.0.0.5/index.html"
                                   << "http://10.0.0.5/img/a.png" << true;
        QTest::newRow("port written out") << "http://10.0.0.5/index.html"
                                          << "http://10.0.0.5:80/a" << true;
        QTest::newRow("https port written out") << "https://10.0.0.5/index.html"
                                                << "https://10.0.0.5:443/a" << true;
        QTest::newRow("host name in another case") << "http://K3P.local/index.html"
                                                   << "http://k3p.LOCAL/a" << true;
        QTest::newRow("IPv6 written two ways") << "http://[fe80::1]/index.html"
                                               << "http://[FE80:0:0::1]/a" << true;
        QTest::newRow("another port") << "http://10.0.0.5/index.html"
                                      << "http://10.0.0.5:8080/a" << false;
        QTest::newRow("another scheme") << "http://10.0.0.5/index.html"
                                        << "https://10.0.0.5/a" << false;
        QTest::newRow("https to http") << "https://10.0.0.5/index.html"
                                       << "http://10.0.0.5:443/a" << false;
        QTest::newRow("another host") << "http://10.0.0.5/index.html"
                                      << "http://10.0.0.50/a" << false;
        QTest::newRow("host as prefix") << "http://10.0.0.5/index.html"
                                        << "http://10.0.0.5.evil.example/a" << false;
        QTest::newRow("no device") << ""
                                   << "http://10.0.0.5/a" << false;
        QTest::newRow("not the web") << "http://10.0.0.5/index.html"
                                     << "ftp://10.0.0.5/a" << false;
        QTest::newRow("not the web, port written out") << "ftp://10.0.0.5:80/index.html"
                                                       << "ftp://10.0.0.5:80/a" << false;
        QTest::newRow("no host") << "http://10.0.0.5/index.html"
                                 << "file:///a" << false;
    }
    void deviceOriginMatches()
    {
        QFETCH(QString, device);
        QFETCH(QString, url);
        QFETCH(bool, same);
        QCOMPARE(DeviceOrigin::fromUrl(QUrl(device)).matches(QUrl(url)), same);
        NetworkAccessManager nam;
        nam.setDeviceUrl(QUrl(device));
        QCOMPARE(nam.isDeviceUrl(QUrl(url)), same);
    }

    // The start page built at first contact, from the sender's address and
    // the configured scheme.
    void startPageOfTheDevice_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("expected");
        QTest::newRow("default") << QByteArray() << "10.0.0.5"
                                 << "http://10.0.0.5/index.html";
        QTest::newRow("https") << QByteArray("[WebSite]\nScheme=https\n") << "10.0.0.5"
                               << "https://10.0.0.5/index.html";
        QTest::newRow("HTTPS in capitals") << QByteArray("[WebSite]\nScheme=HTTPS\n") << "10.0.0.5"
                                           << "https://10.0.0.5/index.html";
        QTest::newRow("IPv6 in brackets") << QByteArray() << "fd00::5"
                                          << "http://[fd00::5]/index.html";
        QTest::newRow("IPv6 link-local with its interface")
            << QByteArray("[WebSite]\nScheme=https\n") << "fe80::1%eth1"
            << "https://[fe80::1%25eth1]/index.html";
        QTest::newRow("unknown scheme") << QByteArray("[WebSite]\nScheme=gopher\n") << "10.0.0.5"
                                        << "http://10.0.0.5/index.html";
    }
    void startPageOfTheDevice()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, address);
        QFETCH(QString, expected);
        QVERIFY(m_env.loadIni(ini));
        QCOMPARE(DeviceOrigin::startUrlFor(address), expected);
        QVERIFY(DeviceOrigin::forAddress(address).matches(QUrl(expected)));
    }

    // A fingerprint as a person copies it from openssl, or without colons,
    // in either case; anything else pins nothing.
    void fingerprintForms_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        const QString colons = m_deviceCert.fingerprint;
        QString bare = colons;
        bare.remove(':');
        QTest::newRow("as openssl prints it") << colons << true;
        QTest::newRow("lower case") << colons.toLower() << true;
        QTest::newRow("without colons") << bare << true;
        QTest::newRow("with blanks") << " " + colons + " " << true;
        QTest::newRow("one digit short") << bare.left(63) << false;
        QTest::newRow("not hex") << "Z" + bare.mid(1) << false;
        QTest::newRow("SHA-1 length") << bare.left(40) << false;
    }
    void fingerprintForms()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QByteArray expected = m_deviceCert.fingerprint.toLatin1();
        expected = QByteArray::fromHex(expected.replace(':', ""));
        QCOMPARE(CertificatePin::parse(text), valid ? expected : QByteArray());
    }

    // https to the device: with a fingerprint its own self-signed
    // certificate is taken when, and only when, it has that fingerprint;
    // without one the system's trust store decides (and refuses it). A
    // refused certificate fails the request before anything is sent: the
    // server records no request, so no login.
    void pinnedCertificate_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<bool>("deviceIsThisServer");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("refusalEnd");
        const QByteArray login = "[WebSite]\nLogin=admin\nPassword=pw\nScheme=https\n";
        QString bare = m_deviceCert.fingerprint.toLower();
        bare.remove(':');
        QTest::newRow("its fingerprint")
            << login + "CertificateSha256=" + m_deviceCert.fingerprint.toLatin1() + "\n"
            << true << true << QString();
        QTest::newRow("its fingerprint, lower case without colons, RequireHttps")
            << login + "RequireHttps=true\nCertificateSha256=" + bare.toLatin1() + "\n"
            << true << true << QString();
        QTest::newRow("another certificate's fingerprint")
            << login + "CertificateSha256=" + m_otherCert.fingerprint.toLatin1() + "\n"
            << true << false << QString("presented, %1 expected").arg(m_otherCert.fingerprint);
        QTest::newRow("no fingerprint: the trust store refuses it")
            << login << true << false << QString("presented, none pinned");
        QTest::newRow("its fingerprint, but not the device's origin")
            << login + "CertificateSha256=" + m_deviceCert.fingerprint.toLatin1() + "\n"
            << false << false << QString("presented, none pinned");
    }
    void pinnedCertificate()
    {
        QFETCH(QByteArray, ini);
        QFETCH(bool, deviceIsThisServer);
        QFETCH(bool, accepted);
        QFETCH(QString, refusalEnd);
        QVERIFY(m_env.loadIni(ini));
        m_https.clear();
        LogCapture log;
        NetworkAccessManager nam;
        nam.setDeviceUrl(deviceIsThisServer
                             ? QUrl(httpsUrl("/index.html"))
                             : QUrl(QString("https://127.0.0.1:%1/").arg(m_https.port() + 1)));
        QNetworkReply* reply = get(nam, httpsUrl("/index.html"));
        QVERIFY(reply->isFinished());
        const auto requests = m_https.requests();
        if (accepted) {
            QCOMPARE(reply->error(), QNetworkReply::NoError);
            QCOMPARE(reply->readAll(), QByteArray("<html><body>recorded</body></html>"));
            QCOMPARE(requests.size(), 1);
            QCOMPARE(requests.first().auth, "Basic " + QByteArray("admin:pw").toBase64());
            QCOMPARE(log.count("refused"), 0);
        } else {
            QCOMPARE(reply->error(), QNetworkReply::SslHandshakeFailedError);
            QCOMPARE(requests.size(), 0);
            const QString line =
                QString("Certificate of '%1' refused: SHA-256 %2 %3")
                    .arg(httpsUrl("/index.html"), m_deviceCert.fingerprint, refusalEnd);
            QVERIFY2(log.count(line) == 1, qPrintable(log.lines().join('\n')));
        }
        delete reply;
    }

    // A certificate that an authority the system trusts vouches for: without
    // a fingerprint the trust store takes it; with the device's pin naming
    // another certificate it is refused all the same, before the request is
    // sent.
    void trustedCertificateStillHeldToThePin_data()
    {
        QTest::addColumn<QString>("pin");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("no fingerprint") << QString() << true;
        QTest::newRow("its own fingerprint") << QString("signed") << true;
        QTest::newRow("another fingerprint") << m_otherCert.fingerprint << false;
    }
    void trustedCertificateStillHeldToThePin()
    {
        QFETCH(QString, pin);
        QFETCH(bool, accepted);
        TestCertificate authority;
        TestCertificate signedCert;
        QVERIFY(authority.makeAuthority(m_certDir.path(), "authority"));
        QVERIFY(signedCert.makeSigned(m_certDir.path(), "signed", authority));
        if (pin == "signed")
            pin = signedCert.fingerprint;
        RecordingServer server;
        QVERIFY(server.start(signedCert.cert, signedCert.key));
        const QSslConfiguration saved = QSslConfiguration::defaultConfiguration();
        QSslConfiguration trusting = saved;
        trusting.setCaCertificates(QSslCertificate::fromPath(authority.cert));
        QSslConfiguration::setDefaultConfiguration(trusting);

        QVERIFY(m_env.loadIni("[WebSite]\nLogin=admin\nPassword=pw\nScheme=https\n"
                              "CertificateSha256=" +
                              pin.toLatin1() + "\n"));
        const QString url = QString("https://127.0.0.1:%1/index.html").arg(server.port());
        LogCapture log;
        NetworkAccessManager nam;
        nam.setDeviceUrl(QUrl(url));
        QNetworkReply* reply = get(nam, url);
        QSslConfiguration::setDefaultConfiguration(saved);
        QVERIFY(reply->isFinished());
        const auto requests = server.requests();
        if (accepted) {
            QCOMPARE(reply->error(), QNetworkReply::NoError);
            QCOMPARE(requests.size(), 1);
            QCOMPARE(requests.first().auth, "Basic " + QByteArray("admin:pw").toBase64());
        } else {
            QVERIFY(reply->error() != QNetworkReply::NoError);
            QCOMPARE(requests.size(), 0);
            QCOMPARE(log.count(QString("Certificate of '%1' refused: SHA-256 %2 presented, %3 "
                                       "expected")
                                   .arg(url, signedCert.fingerprint, pin)),
                     1);
        }
        delete reply;
    }

    // RequireHttps: over http the login is never sent, and the kiosk says
    // once why.
    void requireHttpsWithholdsTheLoginOverHttp()
    {
        QVERIFY(m_env.loadIni("[WebSite]\nLogin=admin\nPassword=pw\nRequireHttps=true\n"));
        LogCapture log;
        NetworkAccessManager nam;
        nam.setDeviceUrl(QUrl(m_server.url("/index.html")));
        QVERIFY(nam.credentialsFor(QUrl(m_server.url("/index.html"))).isEmpty());
        delete get(nam, m_server.url("/index.html"));
        delete get(nam, m_server.url("/logo.png"));
        QCOMPARE(m_server.requests().size(), 2);
        for (const auto& request : m_server.requests())
            QVERIFY(!request.headers.contains("authorization"));
        QCOMPARE(log.count(QString("Login withheld from 'http://127.0.0.1:%1': RequireHttps "
                                   "sends it over https only")
                               .arg(m_server.port())),
                 1);
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
