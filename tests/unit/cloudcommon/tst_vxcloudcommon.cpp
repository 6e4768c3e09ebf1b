// The real request component against a scripted HTTP server on 127.0.0.1. Stalls and pauses,
// resets and retries as the host sees them are the fault matrix's (tests/faults); stops and new
// requests from inside the component's own signals happen in every end-to-end multipart upload.
#include "ScriptedHttpServer.h"
#include "VXCloudCommon.h"
#include "VXResultCodes.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(ScriptedReply)

namespace {

using Params = QMap<QString, QString>;
using Replies = QList<ScriptedReply>;

enum class Put { Data, File, Range, RangeBeyondEnd, MissingFile };
// What the host does when the first progress report of a large PUT arrives, while the worker
// thread is still reading, hashing and sending the file.
enum class AtFirstProgress { Stop, DestroyComponent, TruncateFile };

// The file range of Put::Range: crosses the component's 1 MiB read chunks on both ends.
constexpr qint64 kRangeOffset = 1024 * 1024 + 5, kRangeLength = 1024 * 1024 + 7;

QByteArray pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 4099) & 0xff);
    return bytes;
}

const QByteArray kContent = pattern(3 * 1024 * 1024 + 123); // what every PUT row sends

// The ETag a storage gives a plain PUT: the MD5 of the bytes it stored, in quotes.
QByteArray etagOf(const QByteArray& bytes)
{
    return '"' + QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex() + '"';
}

} // namespace

Q_DECLARE_METATYPE(Put)
Q_DECLARE_METATYPE(AtFirstProgress)

class tst_VXCloudCommon : public QObject
{
    Q_OBJECT

    std::unique_ptr<ScriptedHttpServer> m_server;
    QTemporaryDir m_dir;

    // One report per call, later, from the event loop: the count of the spies' signals.
    static bool reportedOnce(const QList<QSignalSpy*>& spies)
    {
        const auto reports = [&] {
            int count = 0;
            for (const QSignalSpy* spy : spies)
                count += spy->count();
            return count;
        };
        if (reports() != 0)
            return false; // inside the call
        if (!QTest::qWaitFor([&] { return reports() > 0; }, 10000))
            return false;
        QTest::qWait(50); // a second report would have arrived by now
        return reports() == 1;
    }

private slots:
    void init()
    {
        qRegisterMetaType<Params>("QMap<QString,QString>");
        m_server = std::make_unique<ScriptedHttpServer>();
        // Settings are read when a component is created; the environment beats any INI file.
        qputenv("NO_PROXY", "127.0.0.1"); // curl honours proxy variables
        qputenv("VXUPLOAD_API_HOST", m_server->baseUrl().toUtf8());
        qputenv("VXUPLOAD_TOKEN", "s3cret");
        qputenv("VXUPLOAD_RETRIES", "1");
        qputenv("VXUPLOAD_STALL_TIMEOUT_SEC", "1");
    }

    void apiRequest_data()
    {
        QTest::addColumn<QString>("api");
        QTest::addColumn<Replies>("replies");  // one per request expected
        QTest::addColumn<int>("expectedCode"); // 0: success

        QTest::newRow("200 JSON") << "api/bucket/fileuploadurl"
                                  << Replies{ScriptedReply(200, R"({"url":"u","n":1})")} << 0;
        // Not retried, because not declared retryable; codes and retries of the upload's own
        // requests as the host meets them: the fault matrix (tests/faults).
        QTest::newRow("500") << "api/x" << Replies{ScriptedReply(500, "{}")} << 500;
    }

    // A POST of the parameters as JSON, with the token; the answer or the failure comes with the
    // caller's parameters and API.
    void apiRequest()
    {
        QFETCH(QString, api);
        QFETCH(Replies, replies);
        QFETCH(int, expectedCode);
        for (const ScriptedReply& reply : replies)
            m_server->enqueue(reply);

        VXCloudCommon component;
        QSignalSpy done(&component, &VXCloudCommon::sglHttpRequestFinishWithInfo);
        QSignalSpy failed(&component, &VXCloudCommon::sglHttpRequestErrorWithInfo);
        // "vx:" parameters are the caller's own: handed back, never sent.
        const Params params{{"bucketName", "b"}, {"remotePath", "dir/ä x.bin"}, {"empty", ""},
                            {"vx:attempt", "7"}};
        component.sendApiRequest(params, api, QString(), 0);
        QVERIFY(reportedOnce({&done, &failed}));

        const QList<QVariant> args = expectedCode == 0 ? done.value(0) : failed.value(0);
        QCOMPARE(args.value(0).value<Params>(), params);
        QCOMPARE(args.value(1).toString(), api);
        const QByteArray body = replies.value(replies.size() - 1).body; // the last answer
        const QJsonObject reply = QJsonDocument::fromJson(body).object();
        QCOMPARE(args.value(2), expectedCode == 0 ? QVariant(reply) : QVariant(expectedCode));
        if (expectedCode == 0)
            QCOMPARE(args.value(3).toString(), m_server->baseUrl() + '/' + api);

        QCOMPARE(m_server->requests().size(), replies.size());
        for (const RecordedRequest& request : m_server->requests()) {
            const QByteArray head = request.head.toLower();
            QVERIFY(head.startsWith("post /" + api.toUtf8() + " http/1.1\r\n"));
            QVERIFY(!head.contains("\r\nexpect:")); // no wait for "100 Continue"
            QVERIFY(head.contains("\r\ncontent-type: application/json\r\n"));
            QVERIFY(head.contains("\r\nauthorization: bearer s3cret\r\n"));
            const QJsonObject json{{"bucketName", "b"}, {"remotePath", "dir/ä x.bin"},
                                   {"empty", ""}};
            QCOMPARE(QJsonDocument::fromJson(request.body).object(), json);
        }
    }

    void put_data()
    {
        QTest::addColumn<Put>("call");
        QTest::addColumn<Replies>("replies");  // one per request expected
        QTest::addColumn<int>("expectedCode"); // 0: success

        const ScriptedReply ok(200, {}, etagOf(kContent));
        const ScriptedReply damaged(200, {}, etagOf(kContent + "x"));
        QTest::newRow("data, 503 then 200") << Put::Data << Replies{503, ok} << 0;
        QTest::newRow("file, 403: its ETag is not copied")
            << Put::File << Replies{ScriptedReply(403, "<Error/>", "\"x\"")} << 403;
        const ScriptedReply rangeOk(200, {}, etagOf(kContent.mid(kRangeOffset, kRangeLength)));
        QTest::newRow("file range, 503 then 200") << Put::Range << Replies{503, rangeOk} << 0;
        // Bytes that did not arrive as sent are never a success: sent again (and, every time,
        // -2004: the fault matrix).
        QTest::newRow("data, stored MD5 wrong once") << Put::Data << Replies{damaged, ok} << 0;
        // A part without an ETag could not be named in the completion: never a success.
        const ScriptedReply noEtag(200, {}, {});
        QTest::newRow("file range, 200 without ETag twice") << Put::Range << Replies{noEtag, noEtag}
                                                            << -2004;
        QTest::newRow("range beyond the file") << Put::RangeBeyondEnd << Replies{} << -2001;
        QTest::newRow("vanished file") << Put::MissingFile << Replies{} << -2001;
    }

    // The bytes as they are, without the token; the caller's info comes back with the ETag of a
    // success; progress in whole percents, each once, never going back (not even on a retry).
    void put()
    {
        QFETCH(Put, call);
        QFETCH(Replies, replies);
        QFETCH(int, expectedCode);
        for (const ScriptedReply& reply : replies)
            m_server->enqueue(reply);
        const QByteArray& content = kContent;
        QFile file(m_dir.filePath(call == Put::MissingFile ? "gone.bin" : "put.bin"));
        QVERIFY(call == Put::MissingFile
                || (file.open(QIODevice::WriteOnly) && file.write(content)));
        file.close();

        VXCloudCommon component;
        QSignalSpy done(&component, &VXCloudCommon::sglUploadFinished);
        QSignalSpy progress(&component, &VXCloudCommon::sglUploadProgress);
        const QJsonObject info{{"slice_mark", "part-1"}, {"n", 3}};
        const QString path = "/bucket/key.bin?X-Amz-Signature=f00";
        const QString url = m_server->baseUrl() + path;
        if (call == Put::Data)
            component.uploadDataByPut(url, content, info);
        else if (call == Put::Range || call == Put::RangeBeyondEnd)
            component.uploadFileRangeByPut(url, file.fileName(), kRangeOffset,
                                           call == Put::Range ? kRangeLength : content.size(),
                                           info);
        else
            component.uploadFileByPut(url, file.fileName(), info);
        QVERIFY(reportedOnce({&done}));

        QCOMPARE(done.first().at(1).toInt(), expectedCode);
        QJsonObject echoed = done.first().at(0).toJsonObject();
        QCOMPARE(echoed.take("ETag").toString().toUtf8(),
                 expectedCode ? QByteArray() : replies.last().etag);
        QCOMPARE(echoed, info);

        QCOMPARE(m_server->requests().size(), replies.size());
        for (const RecordedRequest& request : m_server->requests()) {
            const QByteArray head = request.head.toLower();
            QVERIFY(head.startsWith("put " + path.toLower().toUtf8() + " http/1.1\r\n"));
            QVERIFY(!head.contains("\r\nexpect:"));
            QVERIFY(!head.contains("\r\nauthorization:"));
            // Bytes known before they go out carry their MD5: the storage refuses damage.
            const QByteArray md5 = QCryptographicHash::hash(content, QCryptographicHash::Md5);
            QCOMPARE(head.contains("\r\ncontent-md5: " + md5.toBase64().toLower()),
                     call == Put::Data);
            QVERIFY(request.body
                    == (call == Put::Range ? content.mid(kRangeOffset, kRangeLength) : content));
        }
        int last = -1;
        for (const QList<QVariant>& args : progress) {
            QCOMPARE(args.at(0).toJsonObject(), info);
            QVERIFY2(args.at(1).toInt() > last, qPrintable(args.at(1).toString()));
            last = args.at(1).toInt();
        }
        QCOMPARE(last, replies.isEmpty() ? -1 : 100);
    }

    void hostActsMidTransfer_data()
    {
        QTest::addColumn<AtFirstProgress>("action");
        QTest::addColumn<int>("expectedCode"); // of the one report; 0: none at all

        QTest::newRow("stop inside a progress report: nothing more")
            << AtFirstProgress::Stop << 0;
        QTest::newRow("component destroyed with the transfer in flight: nothing, no crash")
            << AtFirstProgress::DestroyComponent << 0;
        QTest::newRow("file shrinks while the worker reads it: one failure")
            << AtFirstProgress::TruncateFile << int(VXResult::FileUnreadable);
    }

    // The host acts while a worker thread reads, hashes and sends a 64 MiB file: a stop or the
    // component's end silences the request at once, even for what is already on its way; a file
    // that shrinks fails the request once. A component made afterwards works as before.
    void hostActsMidTransfer()
    {
        QFETCH(AtFirstProgress, action);
        QFETCH(int, expectedCode);
        QFile file(m_dir.filePath("large.bin"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(64 * 1024 * 1024));
        file.close();
        const QString url = m_server->baseUrl() + "/bucket/large.bin";

        auto* component = new VXCloudCommon;
        QPointer<VXCloudCommon> alive(component);
        int progressAfterAction = 0;
        QList<int> codes;
        bool acted = false;
        connect(component, &VXCloudCommon::sglUploadProgress, this, [&] {
            if (acted) {
                ++progressAfterAction;
                return;
            }
            acted = true;
            if (action == AtFirstProgress::Stop)
                component->stopUploadByUrl(url);
            else if (action == AtFirstProgress::DestroyComponent)
                component->deleteLater();
            else
                QVERIFY(QFile::resize(file.fileName(), 1024));
        });
        connect(component, &VXCloudCommon::sglUploadFinished, this,
                [&](const QJsonObject&, int code) { codes.append(code); });
        component->uploadFileByPut(url, file.fileName(), {{"n", 1}});
        QTRY_VERIFY_WITH_TIMEOUT(acted, 10000);
        if (expectedCode != 0)
            QTRY_COMPARE_WITH_TIMEOUT(codes.size(), 1, 10000);
        QTest::qWait(500);
        if (action == AtFirstProgress::Stop) // the others may still report bytes already sent
            QCOMPARE(progressAfterAction, 0);
        QCOMPARE(codes, expectedCode ? QList<int>{expectedCode} : QList<int>{});
        QCOMPARE(alive.isNull(), action == AtFirstProgress::DestroyComponent);
        delete alive.data();

        VXCloudCommon next;
        QSignalSpy done(&next, &VXCloudCommon::sglUploadFinished);
        next.uploadDataByPut(url, "after", {});
        QVERIFY(done.wait(10000));
        QCOMPARE(done.first().at(1).toInt(), 0);
    }

    // libcurl sends a request again by itself when a reused connection turns out closed; those
    // sends count: with retries = 1 a retryable request reaches the server at most twice, any
    // other (a second multipart start would open a second upload) once.
    void libraryResendsCountAsAttempts_data()
    {
        QTest::addColumn<bool>("retryable");
        QTest::newRow("retryable: twice") << true;
        QTest::newRow("not retryable: once") << false;
    }
    void libraryResendsCountAsAttempts()
    {
        QFETCH(bool, retryable);
        m_server->enqueue(ScriptedReply(200, "{}")); // leaves a kept-alive connection
        for (int i = 0; i < 6; ++i)
            m_server->enqueue(ScriptedReply(0, {}, {}, ScriptedReply::CloseWithoutAnswer));
        VXCloudCommon component;
        component.setRetryableApis({retryable ? "/api/x" : "api/y"}); // a leading "/" or not
        QSignalSpy done(&component, &VXCloudCommon::sglHttpRequestFinishWithInfo);
        QSignalSpy failed(&component, &VXCloudCommon::sglHttpRequestErrorWithInfo);
        component.sendApiRequest({}, "api/x", QString(), 0);
        QTRY_COMPARE(done.count(), 1);
        component.sendApiRequest({}, "api/x", QString(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 10000);
        QTest::qWait(300);
        QCOMPARE(m_server->requests().size(), retryable ? 1 + 2 : 1 + 1);
        QCOMPARE(failed.first().at(2).toInt(), int(VXResult::EmptyReply));
    }
};

QTEST_GUILESS_MAIN(tst_VXCloudCommon)
#include "tst_vxcloudcommon.moc"
