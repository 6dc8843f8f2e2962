// Upload from the USB drive and the file dialog itself: a web form's file
// field filled from the drive and submitted to a real HTTP server, the
// messages when nothing can be uploaded (no drive, or one not mounted
// safely), and the dialog's form.
#include "filedialog.h"
#include "logcapture.h"
#include "seampage.h"
#include "usbtestsupport.h"
#include "webtestsupport.h"

#include <QPushButton>
#include <QScrollBar>

using Tessal::FileDialog;

namespace
{

const QByteArray formPage = "<html><body style='margin:0'>"
                            "<form method='post' action='/upload' enctype='multipart/form-data'>"
                            "<input type='file' name='upfile' id='upfile' "
                            "style='position:absolute;left:0;top:0;width:300px;height:60px'>"
                            "</form></body></html>";

// The content of the part named `field` of a multipart/form-data body.
QByteArray multipartField(const HttpRequest& request, const QByteArray& field,
                          QByteArray* fileName = nullptr)
{
    const QByteArray type = request.headers.value("content-type");
    const int b = type.indexOf("boundary=");
    if (b < 0)
        return QByteArray();
    QByteArray boundary = "--" + type.mid(b + 9);
    if (boundary.startsWith("--\"") && boundary.endsWith('"'))
        boundary = "--" + boundary.mid(3, boundary.size() - 4);
    const QByteArray& body = request.body;
    int pos = 0;
    while ((pos = body.indexOf(boundary, pos)) >= 0) {
        pos += boundary.size();
        const int headEnd = body.indexOf("\r\n\r\n", pos);
        if (headEnd < 0)
            return QByteArray();
        const QByteArray head = body.mid(pos, headEnd - pos);
        const int next = body.indexOf("\r\n" + boundary, headEnd + 4);
        if (next < 0)
            return QByteArray();
        if (head.contains("name=\"" + field + "\"")) {
            if (fileName) {
                const int f = head.indexOf("filename=\"");
                *fileName =
                    f < 0 ? QByteArray() : head.mid(f + 10, head.indexOf('"', f + 10) - f - 10);
            }
            return body.mid(headEnd + 4, next - headEnd - 4);
        }
        pos = next;
    }
    return QByteArray();
}

} // namespace

class TestUsbUpload : public QObject
{
    Q_OBJECT

private:
    UsbUnit m_unit;
    HttpServer m_server;
    QWidget m_window;
    DialogDriver m_driver;
    QByteArray m_payload;

    // Shows the form, taps its file field; false when the form did not load.
    bool openFormAndTapFileField(SeamPage& page)
    {
        page.surface->show();
        QSignalSpy loaded(page.surface.get(), &Tessal::WebSurface::loadFinished);
        page.load(QUrl(m_server.url("/form")));
        if (!loaded.wait(10000))
            return false;
        return WebTest::tapElement(page.surface.get(), "#upfile");
    }

    QString fieldValue(SeamPage& page)
    {
        return WebTest::runJs(page.surface.get(), "document.getElementById('upfile').value")
            .toString();
    }

    // What the kiosk handed to the engine for each tap, from its log.
    static QStringList chosen(const LogCapture& log)
    {
        QStringList answers;
        for (const QString& line : log.lines()) {
            const int at = line.indexOf(" - Upload of '");
            if (at >= 0)
                answers << line.mid(at + 14, line.size() - at - 15);
            else if (line.contains(" - Upload: no file chosen"))
                answers << QString();
        }
        return answers;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_unit.create("[UI]\nTextOK=Valider\nTextCancel=Annuler\n"));
        QVERIFY(m_server.startServing());
        HttpRoute form;
        form.contentType = "text/html";
        form.body = formPage;
        m_server.setRoute("/form", form);
        m_window.resize(800, 480);
        m_window.show();
        m_payload = patternBytes(300 * 1024);
    }

    void init()
    {
        m_unit.clearDrive();
        QVERIFY(m_unit.plugDrive());
        QVERIFY(m_unit.writeDriveFile("measure.bin", m_payload));
        QVERIFY(m_unit.writeDriveFile("a-notes.txt", "notes"));
        QVERIFY(m_unit.writeDriveFile(".hidden", "housekeeping"));
        QDir(m_unit.drive()).mkdir("folder");
        QFile::link(m_unit.drive() + "/a-notes.txt", m_unit.drive() + "/link.txt");
        m_unit.clearRemounts();
        m_driver.reset();
        m_driver.beforeAnswer(nullptr);
    }

    void chosenDriveFileReachesServerByteForByte()
    {
        m_driver.answerFileDialog(DialogDriver::Answer::SelectThenAccept, "measure.bin");
        LogCapture log;
        SeamPage page(&m_window);
        QVERIFY(openFormAndTapFileField(page));
        QTRY_COMPARE_WITH_TIMEOUT(chosen(log).size(), 1, 10000);
        QCOMPARE(chosen(log).first(), m_unit.drive() + "/measure.bin");

        // Only plain, visible files, sorted; upload mode allows a selection.
        QCOMPARE(m_driver.fileDialogs.size(), 1);
        QCOMPARE(m_driver.fileDialogs[0].title, QString("Upload"));
        QCOMPARE(m_driver.fileDialogs[0].list, QStringList({"a-notes.txt", "measure.bin"}));
        QVERIFY(m_driver.fileDialogs[0].selectable);
        QVERIFY(m_driver.popups.isEmpty());

        const int before = m_server.requestCount("POST");
        WebTest::runJs(page.surface.get(), "document.forms[0].submit()");
        QTRY_COMPARE_WITH_TIMEOUT(m_server.requestCount("POST"), before + 1, 10000);
        const HttpRequest request = m_server.requests().last();
        QCOMPARE(request.path, QByteArray("/upload"));
        QByteArray fileName;
        const QByteArray received = multipartField(request, "upfile", &fileName);
        QCOMPARE(received.size(), m_payload.size());
        QVERIFY(received == m_payload);
        QCOMPARE(fileName, QByteArray("measure.bin"));
        // An upload leaves the drive's mount alone.
        QVERIFY(m_unit.remounts().isEmpty());
    }

    void okWithoutSelectionUploadsNothing()
    {
        m_driver.answerFileDialog(DialogDriver::Answer::Accept);
        LogCapture log;
        SeamPage page(&m_window);
        QVERIFY(openFormAndTapFileField(page));
        QTRY_COMPARE_WITH_TIMEOUT(chosen(log).size(), 1, 10000);
        QCOMPARE(chosen(log).first(), QString());
        QCOMPARE(m_driver.popups, QStringList({"No file has been selected."}));
        QCOMPARE(fieldValue(page), QString());
    }

    void cancelReturnsNothingSilently()
    {
        m_driver.answerFileDialog(DialogDriver::Answer::Reject);
        QCOMPARE(FileDialog::chooseUploadFile(&m_window), QString());
        QCOMPARE(m_driver.fileDialogs.size(), 1);
        QVERIFY(m_driver.popups.isEmpty());
    }

    void missingDriveShowsMessageAndNoDialog_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("nothing mounted") << "unplug";
        QTest::newRow("stale marker file only") << "marker";
        QTest::newRow("drive directory missing") << "rmdir";
    }

    void missingDriveShowsMessageAndNoDialog()
    {
        QFETCH(QString, how);
        m_driver.answerFileDialog(DialogDriver::Answer::SelectThenAccept, "measure.bin");
        const QString moved = m_unit.root() + "/usbmnt.away";
        QVERIFY(m_unit.unplugDrive());
        if (how == "marker")
            QVERIFY(m_unit.leaveStaleMarker());
        if (how == "rmdir")
            QVERIFY(QDir().rename(m_unit.drive(), moved));
        LogCapture log;
        const QString chosen = FileDialog::chooseUploadFile(&m_window);
        if (how == "rmdir")
            QVERIFY(QDir().rename(moved, m_unit.drive()));
        QFile::remove(m_unit.marker());
        QCOMPARE(chosen, QString());
        QCOMPARE(m_driver.popups, QStringList({"USB drive not detected."}));
        QVERIFY(m_driver.fileDialogs.isEmpty());
    }

    void unsafeDriveIsRefused_data()
    {
        QTest::addColumn<QString>("options");
        QTest::addColumn<QString>("missing");
        QTest::newRow("without noexec") << "ro,nosuid,nodev"
                                        << "noexec";
        QTest::newRow("without nosuid") << "ro,nodev,noexec"
                                        << "nosuid";
        QTest::newRow("without nodev") << "ro,nosuid,noexec"
                                       << "nodev";
        QTest::newRow("without all three") << "ro"
                                           << "nosuid, nodev, noexec";
    }

    void unsafeDriveIsRefused()
    {
        QFETCH(QString, options);
        QFETCH(QString, missing);
        m_driver.answerFileDialog(DialogDriver::Answer::SelectThenAccept, "measure.bin");
        QVERIFY(m_unit.plugDrive(options));
        LogCapture log;
        QCOMPARE(FileDialog::chooseUploadFile(&m_window), QString());
        QCOMPARE(m_driver.popups, QStringList({"USB drive refused: it is not mounted safely."}));
        QCOMPARE(log.count("Upload canceled: USB drive at '" + m_unit.drive() +
                           "' refused: mounted without " + missing),
                 1);
        QVERIFY(m_driver.fileDialogs.isEmpty());
    }

    void driveChangedWhileDialogOpen_data()
    {
        QTest::addColumn<bool>("pulled");
        QTest::addColumn<QString>("popup");
        QTest::newRow("pulled") << true << "USB drive not detected.";
        QTest::newRow("remounted without noexec")
            << false << "USB drive refused: it is not mounted safely.";
    }

    void driveChangedWhileDialogOpen()
    {
        QFETCH(bool, pulled);
        QFETCH(QString, popup);
        m_driver.answerFileDialog(DialogDriver::Answer::SelectThenAccept, "measure.bin");
        m_driver.beforeAnswer([this, pulled] {
            QVERIFY(pulled ? m_unit.unplugDrive() : m_unit.plugDrive("rw,nosuid,nodev"));
        });
        QCOMPARE(FileDialog::chooseUploadFile(&m_window), QString());
        QCOMPARE(m_driver.fileDialogs.size(), 1);
        QCOMPARE(m_driver.popups, QStringList({popup}));
    }

    void dialogFormAndTexts()
    {
        FileDialog upload(false, QString());
        QCOMPARE(upload.size(), QSize(512, 328));
        QCOMPARE(upload.minimumSize(), upload.maximumSize());
        QVERIFY(upload.windowFlags().testFlag(Qt::FramelessWindowHint));
        auto* box = upload.findChild<QDialogButtonBox*>("buttonBox");
        QVERIFY(box);
        QCOMPARE(box->button(QDialogButtonBox::Ok)->text(), QString("Valider"));
        QCOMPARE(box->button(QDialogButtonBox::Cancel)->text(), QString("Annuler"));
        QCOMPARE(upload.findChild<QLabel*>("lblFile")->text(), QString("Filename:"));
        QCOMPARE(upload.findChild<QLabel*>("lblFile")->font().pointSize(), 28);
        auto* list = upload.findChild<QListWidget*>("listFiles");
        QCOMPARE(list->geometry(), QRect(10, 60, 491, 221));
        QVERIFY(list->verticalScrollBar()->styleSheet().contains("width: 32;"));

        // Selecting shows the name and makes it the result; download mode
        // keeps its proposed name whatever is tapped.
        list->setCurrentRow(1);
        QCOMPARE(upload.getFilename(), QString("measure.bin"));
        QCOMPARE(upload.findChild<QLabel*>("lblFileValue")->text(), QString("measure.bin"));

        FileDialog download(true, "report.csv");
        QCOMPARE(download.windowTitle(), QString("Download"));
        auto* downloadList = download.findChild<QListWidget*>("listFiles");
        QCOMPARE(downloadList->selectionMode(), QAbstractItemView::NoSelection);
        downloadList->setCurrentRow(1);
        QCOMPARE(download.getFilename(), QString("report.csv"));
        QCOMPARE(download.findChild<QLabel*>("lblFileValue")->text(), QString("report.csv"));
    }
};

QTEST_MAIN(TestUsbUpload)
#include "tst_usbupload.moc"
