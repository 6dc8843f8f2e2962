#ifndef TESSAL_TEST_RECORDINGSERVER_H
#define TESSAL_TEST_RECORDINGSERVER_H

// recordingserver.py as a child process: a real Python web server (HTTP, or
// HTTPS with a certificate made by openssl) whose log of requests, with their
// Authorization headers, the test reads from its output.
#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

class RecordingServer
{
public:
    struct Request {
        QString path;
        QString auth; // empty when none was sent
        bool hasAuth = false;
    };

    ~RecordingServer() { stop(); }

    // Starts the server on an ephemeral port of 127.0.0.1; with `cert` and
    // `key` it speaks HTTPS.
    bool start(const QString& cert = QString(), const QString& key = QString())
    {
        QStringList args{QString::fromLocal8Bit(qgetenv("TESSAL_SOURCE_DIR")) +
                         "/tests/tessalview/recordingserver.py"};
        if (!cert.isEmpty())
            args << "--tls" << cert << key;
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start("/usr/bin/python3", args);
        if (!m_process.waitForStarted(5000))
            return false;
        QElapsedTimer clock;
        clock.start();
        while (m_port == 0 && clock.elapsed() < 10000) {
            m_process.waitForReadyRead(100);
            readLines();
        }
        return m_port != 0;
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }

    quint16 port() const { return m_port; }

    // Every request recorded so far.
    QList<Request> requests()
    {
        QTest::qWait(50); // lines written just now
        readLines();
        return m_requests;
    }
    void clear()
    {
        readLines();
        m_requests.clear();
    }

private:
    void readLines()
    {
        while (m_process.canReadLine()) {
            const QByteArray line = m_process.readLine().trimmed();
            if (line.startsWith("PORT ")) {
                m_port = quint16(line.mid(5).toUInt());
                continue;
            }
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            Request r;
            r.path = o.value("path").toString();
            r.hasAuth = o.value("auth").isString();
            r.auth = o.value("auth").toString();
            m_requests << r;
        }
    }

    QProcess m_process;
    quint16 m_port = 0;
    QList<Request> m_requests;
};

// Certificates made by openssl in `dir`, each with its SHA-256 fingerprint
// as openssl prints it ("AB:CD:...").
struct TestCertificate {
    QString cert;
    QString key;
    QString fingerprint;

    // A certificate for 127.0.0.1 signed by the authority `ca` (made with
    // makeAuthority), so that a client trusting `ca` trusts it.
    bool makeSigned(const QString& dir, const QString& name, const TestCertificate& ca)
    {
        cert = dir + "/" + name + ".pem";
        key = dir + "/" + name + ".key";
        const QString csr = dir + "/" + name + ".csr";
        const QString ext = dir + "/" + name + ".ext";
        QFile extFile(ext);
        if (!extFile.open(QIODevice::WriteOnly) ||
            extFile.write("subjectAltName=IP:127.0.0.1\n") < 0)
            return false;
        extFile.close();
        return run({"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-keyout", key, "-out", csr, "-subj", "/CN=127.0.0.1"}) &&
               run({"x509", "-req", "-in", csr, "-CA", ca.cert, "-CAkey", ca.key, "-CAcreateserial",
                    "-out", cert, "-days", "2", "-extfile", ext}) &&
               readFingerprint();
    }

    bool makeAuthority(const QString& dir, const QString& name)
    {
        cert = dir + "/" + name + ".pem";
        key = dir + "/" + name + ".key";
        return run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj",
                    "/CN=Tessal test authority"}) &&
               readFingerprint();
    }

    // A self-signed certificate for 127.0.0.1.
    bool make(const QString& dir, const QString& name)
    {
        cert = dir + "/" + name + ".pem";
        key = dir + "/" + name + ".key";
        return run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1"}) &&
               readFingerprint();
    }

private:
    static bool run(const QStringList& args)
    {
        QProcess openssl;
        openssl.start("openssl", args);
        return openssl.waitForFinished(20000) && openssl.exitStatus() == QProcess::NormalExit &&
               openssl.exitCode() == 0;
    }

    bool readFingerprint()
    {
        QProcess openssl;
        openssl.start("openssl", {"x509", "-in", cert, "-noout", "-fingerprint", "-sha256"});
        if (!openssl.waitForFinished(20000) || openssl.exitCode() != 0)
            return false;
        // "sha256 Fingerprint=AB:CD:..." (the label's case varies).
        const QByteArray out = openssl.readAllStandardOutput().trimmed();
        fingerprint = QString::fromLatin1(out.mid(out.indexOf('=') + 1));
        return fingerprint.size() == 95;
    }
};

#endif
