// End to end against the Ceph RADOS Gateway stack (stack.sh start ... rgw): what only a real S3
// engine shows. Its minimum part size of 5 MiB, parts sent at once as the gateway sees them
// (its access log), a stop that leaves no transfer running, and uploads that nobody completes
// removed by the server's stale-upload sweep. Signed requests to the gateway (the list of
// unfinished uploads) are made by curl with the stack's test keys.
#include "e2ehost.h"

using e2e::kMiB;
using e2e::kTimeoutMs;

namespace {

constexpr qint64 kMinPart = 5 * kMiB; // S3's smallest part but the last

QStringList g_managerWarnings; // the plugin's vx.uploadmanager warnings, in arrival order
QtMessageHandler g_previousHandler = nullptr;

void collectWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtWarningMsg && qstrcmp(context.category, "vx.uploadmanager") == 0)
        g_managerWarnings.append(message);
    g_previousHandler(type, context, message);
}

} // namespace

class tst_E2EGateway : public E2EHost
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        setUpHost();
        QVERIFY2(!m_stack.value("GATEWAY_LOG").isEmpty(), "not the gateway stack");
        g_previousHandler = qInstallMessageHandler(collectWarnings);
    }

    void cleanupTestCase()
    {
        qInstallMessageHandler(g_previousHandler);
        tearDownHost();
    }

    void multipartStoredByGateway_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("partsInFlight");
        QTest::addColumn<int>("minConcurrent"); // part PUTs at once, as the gateway saw them
        QTest::addColumn<int>("maxConcurrent");
        QTest::newRow("parts of exactly 5 MiB, last of 7 bytes")
            << 2 * kMinPart + 7 << 1 << 1 << 1;
        QTest::newRow("4 parts in flight") << 8 * kMinPart + 12345 << 4 << 2 << 4;
    }

    void multipartStoredByGateway()
    {
        QFETCH(qint64, size);
        QFETCH(int, partsInFlight);
        QFETCH(int, minConcurrent);
        QFETCH(int, maxConcurrent);
        QVERIFY(startPlugin(m_stack.value("TOKEN"), kMinPart, partsInFlight));
        const qint64 gatewayOffset = QFileInfo(m_stack.value("GATEWAY_LOG")).size();
        const QString local = makeFile(size);
        const QString remote = submit(local, true);
        checkStored(remote, local, true);
        QTRY_COMPARE_WITH_TIMEOUT(serverRequests(),
                                  (QStringList{"initmultipart 200", "completemultipart 200"}),
                                  5000);
        const QVector<PartPut> puts = partPuts(gatewayOffset, remote);
        QCOMPARE(puts.size(), int((size + kMinPart - 1) / kMinPart));
        const int concurrent = mostAtOnce(puts);
        QVERIFY2(concurrent >= minConcurrent && concurrent <= maxConcurrent,
                 qPrintable(QString::number(concurrent)));
    }

    // The gateway refuses to assemble parts under 5 MiB but the last: the job fails, the
    // plugin's log names the storage's reason, and the server aborted the upload.
    void smallPartsRefusedByGateway()
    {
        QVERIFY(startPlugin(m_stack.value("TOKEN"), kMiB));
        g_managerWarnings.clear();
        const QString remote = submit(makeFile(3 * kMiB + 1000), true);
        QTRY_VERIFY_WITH_TIMEOUT(!reportsOf(remote, true).isEmpty(), kTimeoutMs);
        QCOMPARE(reportsOf(remote, true).first().value, -1);
        const QStringList reasons = g_managerWarnings.filter(remote).filter("EntityTooSmall");
        QVERIFY2(reasons.size() == 1, qPrintable(g_managerWarnings.join('\n')));
        QCOMPARE(serverRequests(), (QStringList{"initmultipart 200", "completemultipart 200"}));
        QCOMPARE(storageGet(remote, "/dev/null"), 404);
        QTRY_VERIFY_WITH_TIMEOUT(!isUnfinished(m_stack.value("BUCKET"), remote), 5000);
        QCOMPARE(reportsOf(remote, true).size(), 1);
    }

    // Stopped from its first progress report with 4 parts in flight: no report follows, the
    // gateway sees no part PUT start afterwards and every request it began ends.
    void stopDuringPartsLeavesNothingRunning()
    {
        QVERIFY(startPlugin(m_stack.value("TOKEN"), kMinPart, 4));
        const qint64 gatewayOffset = QFileInfo(m_stack.value("GATEWAY_LOG")).size();
        const QString remote = m_stopRemotePath = submit(makeFile(40 * kMinPart, false), true);
        QTRY_VERIFY_WITH_TIMEOUT(m_stopRemotePath.isEmpty(), kTimeoutMs);
        QSignalSpy finals(this, &tst_E2EGateway::sglUploadFinished);
        QVERIFY2(!finals.wait(2000) && reportsOf(remote, true).isEmpty(),
                 "a stopped job was reported");
        QTRY_VERIFY_WITH_TIMEOUT(gatewayRequestsRunning(gatewayOffset) <= 0, 5000);
        const int partsSent = partPuts(gatewayOffset, remote).size();
        QVERIFY2(partsSent < 40, qPrintable(QString::number(partsSent)));
        QTest::qWait(1000);
        QCOMPARE(partPuts(gatewayOffset, remote).size(), partsSent);
        QCOMPARE(serverRequests(), QStringList{"initmultipart 200"});
        QCOMPARE(storageGet(remote, "/dev/null"), 404);

        const QString next = makeFile(100000); // the plugin goes on working after the stop
        checkStored(submit(next), next, false);
    }

    // An upload the client gave up on (stopped after its start) is aborted by the sweeping
    // server (uploads older than 2 s, once a second) and no longer listed by the gateway.
    void staleUploadSwept()
    {
        const QString bucket = m_stack.value("SWEEP_BUCKET");
        QVERIFY(startPlugin(m_stack.value("TOKEN"), kMinPart, 1, m_stack.value("SWEEP_API_URL")));
        const QString remote = m_stopRemotePath = submit(makeFile(40 * kMinPart, false), true,
                                                         bucket);
        QTRY_VERIFY_WITH_TIMEOUT(m_stopRemotePath.isEmpty(), kTimeoutMs);
        const QString swept = QString("stale upload sweep: aborted upload \\S+ \\(bucket \"%1\", "
                                      "key \"%2\", started \\d+ s ago\\)")
                                  .arg(QRegularExpression::escape(bucket),
                                       QRegularExpression::escape(remote));
        QTRY_VERIFY_WITH_TIMEOUT(QRegularExpression(swept).match(sweepLog()).hasMatch(),
                                 kTimeoutMs);
        QVERIFY(!isUnfinished(bucket, remote));
        QVERIFY(reportsOf(remote, true).isEmpty());
    }

private:
    struct PartPut
    {
        qint64 startMs;
        qint64 endMs;
    };

    // The part PUTs of `remotePath` that the gateway finished since `offset` of its log, from
    // its access lines: `... [06/Dec/2026:20:39:32.624 +0000] "PUT /bucket/key?partNumber=3&...
    // HTTP/1.1" 200 ... latency=0.008000000s`.
    QVector<PartPut> partPuts(qint64 offset, const QString& remotePath) const
    {
        const QRegularExpression access(
            QString("\\[([^\\]]+) \\+0000\\] \"PUT /[^/]+/%1\\?[^\"]*partNumber=.* "
                    "latency=([\\d.]+)s")
                .arg(QRegularExpression::escape(remotePath)));
        QVector<PartPut> puts;
        for (const QString& line : gatewayLog(offset)) {
            const QRegularExpressionMatch match = access.match(line);
            if (!match.hasMatch())
                continue;
            QDateTime start = QDateTime::fromString(match.captured(1), "dd/MMM/yyyy:HH:mm:ss.zzz");
            start.setTimeSpec(Qt::UTC);
            const qint64 startMs = start.toMSecsSinceEpoch();
            puts.append({startMs, startMs + qint64(match.captured(2).toDouble() * 1000)});
        }
        return puts;
    }

    // The largest number of the PUTs that ran at one moment. The gateway's clock ticks in steps
    // of a few milliseconds, so a part that starts as the one before ends may seem to overlap
    // it by as much: overlaps under 10 ms count as one after the other.
    static int mostAtOnce(const QVector<PartPut>& puts)
    {
        QVector<QPair<qint64, int>> events; // time, -1 for an end (sorted first), +1 for a start
        for (const PartPut& put : puts)
            events << qMakePair(put.startMs, 1)
                   << qMakePair(qMax(put.startMs + 1, put.endMs - 10), -1);
        std::sort(events.begin(), events.end());
        int running = 0;
        int most = 0;
        for (const auto& event : events)
            most = qMax(most, running += event.second);
        return most;
    }

    // Requests the gateway began since `offset` of its log and has not finished (-1 when one
    // that began before ended after).
    int gatewayRequestsRunning(qint64 offset) const
    {
        const QStringList lines = gatewayLog(offset);
        return lines.filter("====== starting new request").size()
            - lines.filter("====== req done").size();
    }

    QStringList gatewayLog(qint64 offset) const
    {
        QFile log(m_stack.value("GATEWAY_LOG"));
        if (!log.open(QIODevice::ReadOnly) || !log.seek(offset))
            return {};
        return QString::fromUtf8(log.readAll()).split('\n');
    }

    QString sweepLog() const
    {
        return QString::fromUtf8(e2e::contentOf(m_stack.value("SWEEP_LOG")));
    }

    // Whether the gateway lists a multipart upload of `key` as unfinished in `bucket`
    // (ListMultipartUploads, signed with the stack's keys); true too when it cannot tell.
    bool isUnfinished(const QString& bucket, const QString& key) const
    {
        const QString answer = m_dir.filePath("uploads.xml");
        const int status = e2e::httpGet(
            m_stack.value("STORAGE_URL") + '/' + bucket + "?uploads=", answer,
            {"--aws-sigv4", "aws:amz:" + m_stack.value("S3_REGION") + ":s3", "--user",
             m_stack.value("S3_ACCESS_KEY_ID") + ':' + m_stack.value("S3_SECRET_ACCESS_KEY"),
             // curl does not hash the body; the gateway must be told so.
             "-H", "x-amz-content-sha256: UNSIGNED-PAYLOAD"});
        const QByteArray xml = e2e::contentOf(answer);
        if (status != 200 || !xml.contains("<ListMultipartUploadsResult")) {
            qWarning() << "ListMultipartUploads answered" << status << xml;
            return true;
        }
        return xml.contains("<Key>" + key.toUtf8() + "</Key>");
    }
};

QTEST_GUILESS_MAIN(tst_E2EGateway)
#include "tst_e2egateway.moc"
