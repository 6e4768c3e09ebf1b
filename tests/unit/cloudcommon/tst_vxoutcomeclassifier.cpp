// What one finished attempt of a request amounts to, from its facts alone: the code reported to
// the host and whether the component sends the request again.
#include "VXOutcomeClassifier.h"
#include "VXResultCodes.h"

#include <QtTest>

namespace {

using Attempt = VXOutcomeClassifier::Attempt;

const QByteArray kMd5 = "0123456789abcdef0123456789abcdef";

Attempt answered(long status, QByteArray etag = {}, QByteArray md5 = {})
{
    Attempt attempt;
    attempt.httpStatus = status;
    attempt.etag = etag;
    attempt.bodyMd5Hex = md5;
    return attempt;
}

Attempt failed(CURLcode result)
{
    Attempt attempt;
    attempt.curlResult = result;
    return attempt;
}

Attempt with(Attempt attempt, bool Attempt::*flag)
{
    attempt.*flag = true;
    return attempt;
}

} // namespace

Q_DECLARE_METATYPE(Attempt)

class tst_VXOutcomeClassifier : public QObject
{
    Q_OBJECT

private slots:
    void classify_data()
    {
        QTest::addColumn<Attempt>("attempt");
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("transient");

        const int timedOut = VXResult::fromTransport(CURLE_OPERATION_TIMEDOUT);
        QTest::newRow("204, plain ETag equal to the body's MD5, quoted and upper case")
            << answered(204, '"' + kMd5.toUpper() + '"', kMd5) << 0 << false;
        QTest::newRow("200, plain ETag not the body's MD5")
            << answered(200, "\"ffffffffffffffffffffffffffffffff\"", kMd5)
            << int(VXResult::IntegrityMismatch) << true;
        QTest::newRow("200, multipart ETag: not an MD5, not compared")
            << answered(200, "\"0123456789abcdef0123456789abcdef-2\"", kMd5) << 0 << false;
        QTest::newRow("200, 32 characters that are not hex: not compared")
            << answered(200, "\"0123456789abcdef0123456789abcdeg\"", kMd5) << 0 << false;
        QTest::newRow("200, body sent again from its middle: hash unknown, not compared")
            << answered(200, "\"ffffffffffffffffffffffffffffffff\"") << 0 << false;
        Attempt part = answered(200);
        part.etagRequired = true;
        QTest::newRow("200 part without ETag") << part << int(VXResult::IntegrityMismatch)
                                               << true;
        part.etag = "\"abc-1\"";
        QTest::newRow("200 part with ETag") << part << 0 << false;
        Attempt refused = answered(403, "\"x\"");
        refused.etagRequired = true;
        QTest::newRow("403 part without ETag: the status, final") << refused << 403 << false;
        QTest::newRow("429") << answered(429) << 429 << true;
        QTest::newRow("500") << answered(500) << 500 << true;
        QTest::newRow("status beyond HTTP: not HTTP, but worth a retry")
            << answered(700) << int(VXResult::WeirdServerReply) << true;
        QTest::newRow("no status") << answered(0) << int(VXResult::WeirdServerReply) << false;
        QTest::newRow("refused connection") << failed(CURLE_COULDNT_CONNECT)
                                            << VXResult::fromTransport(CURLE_COULDNT_CONNECT)
                                            << true;
        QTest::newRow("curl time-out") << failed(CURLE_OPERATION_TIMEDOUT) << timedOut << true;
        QTest::newRow("send error") << failed(CURLE_SEND_ERROR) << int(VXResult::SendFailed)
                                    << true;
        QTest::newRow("receive error") << failed(CURLE_RECV_ERROR)
                                       << int(VXResult::ReceiveFailed) << true;
        QTest::newRow("partial answer") << failed(CURLE_PARTIAL_FILE)
                                        << VXResult::fromTransport(CURLE_PARTIAL_FILE) << true;
        QTest::newRow("TLS certificate refused")
            << failed(CURLE_PEER_FAILED_VERIFICATION)
            << VXResult::fromTransport(CURLE_PEER_FAILED_VERIFICATION) << false;
        QTest::newRow("unknown host") << failed(CURLE_COULDNT_RESOLVE_HOST)
                                      << VXResult::fromTransport(CURLE_COULDNT_RESOLVE_HOST)
                                      << false;
        // The component's own flags beat what curl says about the same attempt.
        QTest::newRow("file unreadable while sending (curl: aborted by callback)")
            << with(failed(CURLE_ABORTED_BY_CALLBACK), &Attempt::readFailed)
            << int(VXResult::FileUnreadable) << false;
        QTest::newRow("stalled (curl saw nothing wrong)")
            << with(answered(0), &Attempt::stalled) << timedOut << true;
        QTest::newRow("wire attempts used up (curl: aborted by callback)")
            << with(failed(CURLE_ABORTED_BY_CALLBACK), &Attempt::wireLimitHit)
            << int(VXResult::EmptyReply) << false;
        QTest::newRow("file unreadable beats a stall")
            << with(with(answered(0), &Attempt::stalled), &Attempt::readFailed)
            << int(VXResult::FileUnreadable) << false;
    }

    void classify()
    {
        QFETCH(Attempt, attempt);
        QFETCH(int, code);
        QFETCH(bool, transient);
        const VXOutcomeClassifier::Outcome outcome = VXOutcomeClassifier::classify(attempt);
        QCOMPARE(outcome.code, code);
        QCOMPARE(outcome.transient, transient);
    }
};

QTEST_GUILESS_MAIN(tst_VXOutcomeClassifier)
#include "tst_vxoutcomeclassifier.moc"
