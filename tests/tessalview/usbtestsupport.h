#ifndef TESSAL_TEST_USBTESTSUPPORT_H
#define TESSAL_TEST_USBTESTSUPPORT_H

// What the download and upload tests share: a real HTTP server on loopback
// (own thread, ephemeral port), the unit tree of usbunit.h (a USB drive
// directory mounted in a mount table under TESSAL_ROOT, a recording remount
// script), and a driver that answers the modal dialogs in place of a person.
#include "filedialog.h"
#include "progresspopup.h"
#include "timedpopup.h"
#include "usbunit.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QLabel>
#include <QListWidget>
#include <QMutex>
#include <QPushButton>
#include <QPointer>
#include <QSemaphore>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

// ---------------------------------------------------------------------------
// HTTP server

struct HttpRoute {
    QByteArray contentType = "application/octet-stream";
    QByteArray contentDisposition; // sent only when not empty
    QByteArray body;
    bool sendLength = true; // Content-Length header; else the close ends the body
    qint64 cutAfter = -1;   // close the connection after this many body bytes
    qint64 holdAfter = -1;  // stop after this many body bytes until release()
};

struct HttpRequest {
    QByteArray method;
    QByteArray path;
    QHash<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
};

class HttpServer : public QThread
{
public:
    HttpServer() = default;
    ~HttpServer() override
    {
        quit();
        wait();
    }

    // Starts listening on an ephemeral loopback port; false when that failed.
    bool startServing()
    {
        start();
        m_ready.acquire();
        return m_port != 0;
    }
    quint16 port() const { return m_port; }
    QString url(const QString& path) const
    {
        return QString("http://127.0.0.1:%1%2").arg(m_port).arg(path);
    }

    void setRoute(const QByteArray& path, const HttpRoute& route)
    {
        QMutexLocker lock(&m_mutex);
        m_routes.insert(path, route);
    }
    // Responses of routes with holdAfter stop there again from now on.
    void holdAgain()
    {
        QMutexLocker lock(&m_mutex);
        m_released = false;
    }
    // Lets every held response go on.
    void release()
    {
        QMutexLocker lock(&m_mutex);
        m_released = true;
        for (const auto& held : m_held) {
            if (held.first)
                QMetaObject::invokeMethod(
                    held.first, [socket = held.first, state = held.second] { pump(socket, state); },
                    Qt::QueuedConnection);
        }
        m_held.clear();
    }
    // Lets every held response go on up to `bytes` of its body, where it
    // stops again until the next release.
    void releaseUpTo(qint64 bytes)
    {
        QMutexLocker lock(&m_mutex);
        for (const auto& held : m_held) {
            held.second->hold = bytes;
            if (held.first)
                QMetaObject::invokeMethod(
                    held.first, [socket = held.first, state = held.second] { pump(socket, state); },
                    Qt::QueuedConnection);
        }
    }
    QList<HttpRequest> requests() const
    {
        QMutexLocker lock(&m_mutex);
        return m_requests;
    }
    int requestCount(const QByteArray& method) const
    {
        int n = 0;
        for (const HttpRequest& r : requests())
            n += r.method == method ? 1 : 0;
        return n;
    }

protected:
    void run() override
    {
        QTcpServer server;
        if (server.listen(QHostAddress::LocalHost, 0))
            m_port = server.serverPort();
        m_ready.release();
        if (!m_port)
            return;
        QObject::connect(&server, &QTcpServer::newConnection, [this, &server] {
            while (QTcpSocket* socket = server.nextPendingConnection())
                serve(socket);
        });
        exec();
    }

private:
    struct Connection {
        QByteArray in;
        bool responding = false;
        QByteArray out; // the body to send
        qint64 sent = 0;
        qint64 limit = 0;
        qint64 hold = -1;
        HttpServer* server = nullptr;
    };

    void serve(QTcpSocket* socket)
    {
        auto state = std::make_shared<Connection>();
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, state] {
            state->in += socket->readAll();
            if (!state->responding)
                tryRespond(socket, state);
        });
        QObject::connect(socket, &QTcpSocket::bytesWritten, socket,
                         [this, socket, state] { pump(socket, state); });
    }

    void tryRespond(QTcpSocket* socket, const std::shared_ptr<Connection>& state)
    {
        const int end = state->in.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        HttpRequest request;
        const QList<QByteArray> lines = state->in.left(end).split('\n');
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.path = first.value(1);
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                       lines[i].mid(colon + 1).trimmed());
        }
        const int length = request.headers.value("content-length", "0").toInt();
        if (state->in.size() - (end + 4) < length)
            return;
        request.body = state->in.mid(end + 4, length);
        state->responding = true;

        HttpRoute route;
        bool found = false;
        {
            QMutexLocker lock(&m_mutex);
            m_requests << request;
            const QByteArray path = request.path.split('?').value(0);
            found = m_routes.contains(path);
            route = m_routes.value(path);
        }
        QByteArray head;
        if (request.method == "POST") {
            route.contentType = "text/html";
            route.body = "<html><body>received</body></html>";
            route.sendLength = true;
            found = true;
        }
        if (!found) {
            head = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            socket->write(head);
            socket->disconnectFromHost();
            return;
        }
        head = "HTTP/1.1 200 OK\r\nContent-Type: " + route.contentType + "\r\n";
        if (!route.contentDisposition.isEmpty())
            head += "Content-Disposition: " + route.contentDisposition + "\r\n";
        if (route.sendLength)
            head += "Content-Length: " + QByteArray::number(route.body.size()) + "\r\n";
        head += "Connection: close\r\n\r\n";
        state->out = route.body;
        state->limit = route.cutAfter >= 0 ? qMin<qint64>(route.cutAfter, route.body.size())
                                           : route.body.size();
        state->server = this;
        if (route.holdAfter >= 0) {
            QMutexLocker lock(&m_mutex);
            if (!m_released) {
                state->hold = route.holdAfter;
                m_held << qMakePair(QPointer<QTcpSocket>(socket), state);
            }
        }
        socket->write(head);
        pump(socket, state);
    }

    // Feeds the body in pieces as the peer takes it, so a slow reader sees
    // the data arrive over time; closes the connection after the last piece.
    static void pump(QTcpSocket* socket, const std::shared_ptr<Connection>& state)
    {
        if (!state->responding)
            return;
        qint64 limit = state->limit;
        if (state->hold >= 0) {
            QMutexLocker lock(&state->server->m_mutex);
            if (state->server->m_released)
                state->hold = -1;
            else
                limit = qMin(limit, state->hold);
        }
        while (state->sent < limit && socket->bytesToWrite() < 512 * 1024) {
            const qint64 n = qMin<qint64>(128 * 1024, limit - state->sent);
            socket->write(state->out.constData() + state->sent, n);
            state->sent += n;
        }
        if (state->hold < 0 && state->sent >= state->limit && socket->bytesToWrite() == 0 &&
            socket->state() == QAbstractSocket::ConnectedState)
            socket->disconnectFromHost();
    }

    mutable QMutex m_mutex;
    QHash<QByteArray, HttpRoute> m_routes;
    QList<HttpRequest> m_requests;
    QList<QPair<QPointer<QTcpSocket>, std::shared_ptr<Connection>>> m_held;
    bool m_released = false;
    QSemaphore m_ready;
    quint16 m_port = 0;
};

// ---------------------------------------------------------------------------
// Dialog driver: answers the modal dialogs as a person would

class DialogDriver
{
public:
    enum class Answer { Accept, Reject, SelectThenAccept };

    struct FileDialogSeen {
        QString title;
        QString name; // text of "lblFileValue" when it appeared
        QStringList list;
        bool selectable = false;
    };

    DialogDriver()
    {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { poll(); });
        m_timer.start();
        // Progress popups are counted when they are shown, not by the poll: a
        // transfer that ends within one event-loop turn (slow machines,
        // emulation) closes its popup before the next poll.
        m_showWatcher.onShow = [this](QWidget* w) {
            if (auto* popup = qobject_cast<Tessal::ProgressPopup*>(w))
                seeProgress(popup);
        };
        qApp->installEventFilter(&m_showWatcher);
    }

    // How the next file dialogs are answered; the last answer stays.
    void answerFileDialog(Answer answer, const QString& select = QString(), int delayMs = 0)
    {
        m_answer = answer;
        m_select = select;
        m_delayMs = delayMs;
    }
    // Runs just before the file dialog is answered.
    void beforeAnswer(std::function<void()> hook) { m_beforeAnswer = std::move(hook); }

    QStringList popups;                // messages of the timed popups, in order
    QList<FileDialogSeen> fileDialogs; // every file dialog shown
    int progressPopups = 0;            // progress popups seen
    int maxProgress = -1;              // highest bar value seen
    QStringList progressTitles;

    void reset()
    {
        popups.clear();
        fileDialogs.clear();
        progressPopups = 0;
        maxProgress = -1;
        progressTitles.clear();
    }

private:
    class ShowWatcher : public QObject
    {
    public:
        std::function<void(QWidget*)> onShow;
        bool eventFilter(QObject* o, QEvent* e) override
        {
            if (e->type() == QEvent::Show && o->isWidgetType() && onShow)
                onShow(static_cast<QWidget*>(o));
            return false;
        }
    };

    void seeProgress(Tessal::ProgressPopup* popup)
    {
        if (popup != m_lastProgress) {
            m_lastProgress = popup;
            ++progressPopups;
            progressTitles << popup->title();
        }
        maxProgress = qMax(maxProgress, popup->progress());
    }

    void poll()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        if (auto* popup = qobject_cast<Tessal::ProgressPopup*>(modal)) {
            seeProgress(popup);
            return;
        }
        if (modal == m_handled)
            return;
        if (auto* popup = qobject_cast<Tessal::TimedPopup*>(modal)) {
            m_handled = modal;
            popups << popup->message();
            // Tests need not wait the full 3 s.
            popup->timerElapsed();
            return;
        }
        if (auto* dialog = qobject_cast<Tessal::FileDialog*>(modal)) {
            if (!m_seenSince.isValid() || m_pending != modal) {
                m_pending = modal;
                m_seenSince.start();
                FileDialogSeen seen;
                seen.title = dialog->windowTitle();
                seen.name = dialog->findChild<QLabel*>("lblFileValue")->text();
                auto* list = dialog->findChild<QListWidget*>("listFiles");
                for (int i = 0; i < list->count(); ++i)
                    seen.list << list->item(i)->text();
                seen.selectable = list->selectionMode() != QAbstractItemView::NoSelection;
                fileDialogs << seen;
            }
            if (m_seenSince.elapsed() < m_delayMs)
                return;
            m_handled = modal;
            answer(dialog);
        }
    }

    void answer(Tessal::FileDialog* dialog)
    {
        if (m_beforeAnswer)
            m_beforeAnswer();
        auto* box = dialog->findChild<QDialogButtonBox*>("buttonBox");
        if (m_answer == Answer::Reject) {
            box->button(QDialogButtonBox::Cancel)->click();
            return;
        }
        if (m_answer == Answer::SelectThenAccept) {
            auto* list = dialog->findChild<QListWidget*>("listFiles");
            const QList<QListWidgetItem*> items = list->findItems(m_select, Qt::MatchExactly);
            if (!items.isEmpty()) {
                // A tap on the row, as on the touch screen.
                QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier,
                                  list->visualItemRect(items.first()).center());
            }
        }
        box->button(QDialogButtonBox::Ok)->click();
    }

    QTimer m_timer;
    Answer m_answer = Answer::Accept;
    QString m_select;
    int m_delayMs = 0;
    std::function<void()> m_beforeAnswer;
    QPointer<QWidget> m_handled;
    QPointer<QWidget> m_pending;
    QPointer<QWidget> m_lastProgress;
    QElapsedTimer m_seenSince;
    ShowWatcher m_showWatcher;
};

#endif
