#ifndef TESSAL_TEST_HTTPTESTSERVER_H
#define TESSAL_TEST_HTTPTESTSERVER_H

// A small real HTTP/1.1 server on loopback with an ephemeral port. It records
// every request (path and headers) and answers from a table of routes, so the
// kiosk's requests can be checked where they arrive.
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

class HttpTestServer : public QObject
{
    Q_OBJECT
public:
    struct Route {
        int status = 200;
        QByteArray contentType = "text/html";
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        int delayMs = 0;
    };
    struct Request {
        QByteArray method;
        QByteArray path;
        QMap<QByteArray, QByteArray> headers; // lower-case names
        QByteArray header(const QByteArray& name) const { return headers.value(name.toLower()); }
    };

    explicit HttpTestServer(QObject* parent = nullptr) : QObject(parent)
    {
        connect(&m_server, &QTcpServer::newConnection, this, &HttpTestServer::accept);
    }

    bool start() { return m_server.listen(QHostAddress::LocalHost, 0); }
    void stop() { m_server.close(); }
    quint16 port() const { return m_server.serverPort(); }
    QString url(const QString& path) const
    {
        return QString("http://127.0.0.1:%1%2").arg(port()).arg(path);
    }

    void route(const QByteArray& path, const Route& r) { m_routes[path] = r; }
    void page(const QByteArray& path, const QByteArray& body, int status = 200,
              const QByteArray& type = "text/html")
    {
        Route r;
        r.status = status;
        r.body = body;
        r.contentType = type;
        m_routes[path] = r;
    }

    QList<Request> requests() const { return m_requests; }
    QList<Request> requestsFor(const QByteArray& path) const
    {
        QList<Request> out;
        for (const Request& r : m_requests)
            if (r.path == path)
                out << r;
        return out;
    }
    int count(const QByteArray& path) const { return requestsFor(path).size(); }
    void clear() { m_requests.clear(); }

    // A 1x1 PNG, enough for an <img> that loads.
    static QByteArray tinyPng()
    {
        return QByteArray::fromBase64("iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk"
                                      "+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg==");
    }

private slots:
    void accept()
    {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    }

private:
    void readFrom(QTcpSocket* socket)
    {
        QByteArray& buffer = m_buffers[socket];
        buffer += socket->readAll();
        for (;;) {
            const int end = buffer.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QList<QByteArray> lines = buffer.left(end).split('\n');
            Request req;
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            req.method = first.value(0);
            req.path = first.value(1);
            int contentLength = 0;
            for (int i = 1; i < lines.size(); ++i) {
                const int colon = lines[i].indexOf(':');
                if (colon <= 0)
                    continue;
                const QByteArray name = lines[i].left(colon).trimmed().toLower();
                const QByteArray value = lines[i].mid(colon + 1).trimmed();
                req.headers.insert(name, value);
                if (name == "content-length")
                    contentLength = value.toInt();
            }
            if (buffer.size() < end + 4 + contentLength)
                return;
            buffer.remove(0, end + 4 + contentLength);
            m_requests << req;
            answer(socket, req);
        }
    }

    void answer(QTcpSocket* socket, const Request& req)
    {
        const QByteArray path = req.path.split('?').first();
        Route r;
        if (m_routes.contains(path)) {
            r = m_routes.value(path);
        } else {
            r.status = 404;
            r.body = "<html><body>not found</body></html>";
        }
        QByteArray reason = r.status == 200   ? "OK"
                            : r.status == 401 ? "Unauthorized"
                            : r.status == 404 ? "Not Found"
                                              : "Status";
        QByteArray out = "HTTP/1.1 " + QByteArray::number(r.status) + " " + reason + "\r\n";
        out += "Content-Type: " + r.contentType + "\r\n";
        out += "Content-Length: " + QByteArray::number(r.body.size()) + "\r\n";
        for (const auto& h : r.headers)
            out += h.first + ": " + h.second + "\r\n";
        out += "\r\n" + r.body;
        if (r.delayMs > 0) {
            QTimer::singleShot(r.delayMs, socket, [socket, out] { socket->write(out); });
        } else {
            socket->write(out);
        }
    }

    QTcpServer m_server;
    QHash<QByteArray, Route> m_routes;
    QHash<QTcpSocket*, QByteArray> m_buffers;
    QList<Request> m_requests;
};

#endif
