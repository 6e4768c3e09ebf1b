// End to end against the Ceph RADOS Gateway stack (stack.sh start ... rgw): what only a real S3
// engine shows. Parts sent at once as the gateway sees them (its access log), its refusal of
// parts under 5 MiB, a stop that leaves no transfer running, and uploads that nobody completes
// removed by the server's stale-upload sweep. (Parts of exactly 5 MiB: tst_e2eupload.)
#include "e2ehost.h"

using e2e::kMiB;
using e2e::kTimeoutMs;

static constexpr qint64 kMinPart = 5 * kMiB; // S3's smallest part but the last

class tst_E2EGateway : public E2EHost
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        setUpHost();
        QVERIFY2(!m_stack.value("GATEWAY_LOG").isEmpty(), "not the gateway stack");
    }

    void cleanupTestCase() { tearDownHost(); }

    void partsInFlightAsTheGatewaySeesThem()
    {
        QVERIFY(startPlugin(m_stack.value("TOKEN"), kMinPart, 4));
        const qint64 gatewayOffset = QFileInfo(m_stack.value("GATEWAY_LOG")).size();
        const QString local = makeFile(8 * kMinPart + 12345);
        const QString remote = submit(local, true);
        checkStored(remote, local, true);
        QTRY_COMPARE_WITH_TIMEOUT(
            serverRequests(), (QStringList{"initmultipart 200", "completemultipart 200"}), 5000);
        const QVector<PartPut> puts = partPuts(gatewayOffset, remote);
        QCOMPARE(puts.size(), 9);
        const int concurrent = mostAtOnce(puts);
        QVERIFY2(concurrent >= 2 && concurrent <= 4, qPrintable(QString::number(concurrent)));
    }

    // The job fails, the plugin's log names the storage's reason, the server aborted the upload.
    void smallPartsRefusedByGateway()
    {
        QVERIFY(startPlugin(m_stack.value("TOKEN"), kMiB));
        e2e::g_messages.clear();
        const QString remote = submit(makeFile(3 * kMiB + 1000), true);
        QTRY_VERIFY_WITH_TIMEOUT(!reportsOf(remote, true).isEmpty(), kTimeoutMs);
        QCOMPARE(reportsOf(remote, true).first().value, -1);
        const QStringList reasons =
            e2e::g_messages.filter("vx.uploadmanager: ").filter(remote).filter("EntityTooSmall");
        QVERIFY2(reasons.size() == 1, qPrintable(e2e::g_messages.join('\n')));
        QCOMPARE(serverRequests(), (QStringList{"initmultipart 200", "completemultipart 200"}));
        QCOMPARE(e2e::httpGet(objectUrl(remote), "/dev/null"), 404);
        // server/test/storage.test.js checks on the gateway that such an abort removes it.
        QTRY_VERIFY_WITH_TIMEOUT(
            serverLog().contains(
                QStringLiteral("key \"%1\") after its refused completion").arg(remote)),
            5000);
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
        QCOMPARE(e2e::httpGet(objectUrl(remote), "/dev/null"), 404);

        const QString next = makeFile(100000); // the plugin goes on working after the stop
        checkStored(submit(next), next, false);
    }

    // Stopped at a quarter of its parts and submitted again, the job resumes: the gateway lists
    // what it holds, and only the rest is sent. A part the gateway stored as the stop aborted
    // it was never confirmed to the plugin: such parts (4 at most, those in flight) are sent
    // again; no other part is. The object is whole.
    void resumeSendsOnlyMissingParts()
    {
        QVERIFY(startPlugin(m_stack.value("TOKEN"), kMinPart, 4));
        const qint64 offset = QFileInfo(m_stack.value("GATEWAY_LOG")).size();
        const QString local = makeFile(40 * kMinPart, false);
        const QString remote = "e2e" + local;
        bool stopped = false;
        QObject stopper;
        connect(this, &tst_E2EGateway::sglUploadProgress, &stopper,
                [&](const QJsonObject& job, int percent) {
                    if (!stopped && job.value("remotePath") == remote && percent >= 25) {
                        stopped = true;
                        m_upload->stopUploadFileByPost(job);
                    }
                });
        QCOMPARE(submit(local, true), remote);
        QTRY_VERIFY_WITH_TIMEOUT(stopped, kTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(gatewayRequestsRunning(offset) <= 0, 5000);
        const QSet<int> stored = storedParts(offset, remote);
        const qint64 resumeOffset = QFileInfo(m_stack.value("GATEWAY_LOG")).size();
        m_reports.clear(); // the resumed job's progress rises from the share stored
        submit(local, true);
        checkStored(remote, local, true);
        const QSet<int> sent = storedParts(resumeOffset, remote);
        QVERIFY2(QSet<int>(stored).intersect(sent).size() <= 4 &&
                     QSet<int>(stored).unite(sent).size() == 40 && stored.size() >= 8,
                 qPrintable(QStringLiteral("%1 parts stored before the stop, %2 after")
                                .arg(stored.size())
                                .arg(sent.size())));
    }

    // An upload the client gave up on (stopped after its start) is aborted by the sweeping
    // server (uploads older than 2 s, once a second), which logs it once the gateway has.
    void staleUploadSwept()
    {
        const QString bucket = m_stack.value("SWEEP_BUCKET");
        QVERIFY(startPlugin(m_stack.value("TOKEN"), kMinPart, 1, m_stack.value("SWEEP_API_URL")));
        const QString remote = m_stopRemotePath =
            submit(makeFile(40 * kMinPart, false), true, bucket);
        QTRY_VERIFY_WITH_TIMEOUT(m_stopRemotePath.isEmpty(), kTimeoutMs);
        const QRegularExpression swept(
            QString("stale upload sweep: aborted upload \\S+ \\(bucket \"%1\", key \"%2\", "
                    "started \\d+ s ago\\)")
                .arg(QRegularExpression::escape(bucket), QRegularExpression::escape(remote)));
        const QString sweepLog = m_stack.value("SWEEP_LOG");
        QTRY_VERIFY_WITH_TIMEOUT(swept.match(e2e::contentOf(sweepLog)).hasMatch(), kTimeoutMs);
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

    // The part numbers of `remotePath` that the gateway stored (answered 200) since `offset`.
    QSet<int> storedParts(qint64 offset, const QString& remotePath) const
    {
        const QRegularExpression access(
            QString("\"PUT /[^/]+/%1\\?[^\"]*partNumber=(\\d+)[^\"]*\" 200 ")
                .arg(QRegularExpression::escape(remotePath)));
        QSet<int> parts;
        for (const QString& line : gatewayLog(offset)) {
            const QRegularExpressionMatch match = access.match(line);
            if (match.hasMatch())
                parts.insert(match.captured(1).toInt());
        }
        return parts;
    }

    // The largest number of the PUTs that ran at one moment. The gateway's clock ticks in steps
    // of a few milliseconds, so a part that starts as the one before ends may seem to overlap
    // it by as much: overlaps under 10 ms count as one after the other.
    static int mostAtOnce(const QVector<PartPut>& puts)
    {
        int most = 0;
        for (const PartPut& put : puts) {
            const auto running = [&](const PartPut& other) {
                return other.startMs <= put.startMs &&
                       put.startMs < qMax(other.startMs + 1, other.endMs - 10);
            };
            most = qMax(most, int(std::count_if(puts.begin(), puts.end(), running)));
        }
        return most;
    }

    // Requests the gateway began since `offset` of its log and has not finished (-1 when one
    // that began before ended after).
    int gatewayRequestsRunning(qint64 offset) const
    {
        const QStringList lines = gatewayLog(offset);
        return lines.filter("====== starting new request").size() -
               lines.filter("====== req done").size();
    }

    QStringList gatewayLog(qint64 offset) const
    {
        QFile log(m_stack.value("GATEWAY_LOG"));
        if (!log.open(QIODevice::ReadOnly) || !log.seek(offset))
            return {};
        return QString::fromUtf8(log.readAll()).split('\n');
    }
};

QTEST_GUILESS_MAIN(tst_E2EGateway)
#include "tst_e2egateway.moc"
