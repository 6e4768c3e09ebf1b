#include "VXOutcomeClassifier.h"

#include "VXResultCodes.h"

#include <cctype>

bool VXOutcomeClassifier::integrityMismatch(const QByteArray& etag, const QByteArray& bodyMd5Hex)
{
    if (bodyMd5Hex.isEmpty())
        return false;
    const QByteArray plain = QByteArray(etag).replace('"', "").toLower();
    if (plain.size() != 32)
        return false;
    for (const char c : plain) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return plain != bodyMd5Hex.toLower();
}

VXOutcomeClassifier::Outcome VXOutcomeClassifier::classify(const Attempt& attempt)
{
    Outcome outcome;
    const bool answered2xx = attempt.curlResult == CURLE_OK && attempt.httpStatus >= 200
        && attempt.httpStatus < 300;
    outcome.etagMissing = answered2xx && attempt.etagRequired && attempt.etag.isEmpty();
    const bool notStored =
        outcome.etagMissing || integrityMismatch(attempt.etag, attempt.bodyMd5Hex);

    if (attempt.readFailed) {
        outcome.code = VXResult::FileUnreadable;
    } else if (attempt.stalled) {
        outcome.code = VXResult::fromTransport(CURLE_OPERATION_TIMEDOUT);
        outcome.transient = true;
    } else if (attempt.wireLimitHit) {
        outcome.code = VXResult::fromTransport(CURLE_GOT_NOTHING);
    } else if (attempt.curlResult != CURLE_OK) {
        outcome.code = VXResult::fromTransport(attempt.curlResult);
        switch (attempt.curlResult) {
        case CURLE_COULDNT_CONNECT:
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_PARTIAL_FILE:
            outcome.transient = true;
            break;
        default:
            break;
        }
    } else if (answered2xx) {
        outcome.code = notStored ? int(VXResult::IntegrityMismatch) : int(VXResult::Success);
        outcome.transient = notStored;
    } else {
        const long status = attempt.httpStatus;
        outcome.code = VXResult::isHttpStatus(int(status))
            ? int(status)
            : VXResult::fromTransport(CURLE_WEIRD_SERVER_REPLY);
        outcome.transient = status >= 500 || status == 429;
    }
    return outcome;
}
