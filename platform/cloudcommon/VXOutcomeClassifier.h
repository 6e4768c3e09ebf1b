#ifndef VXOUTCOMECLASSIFIER_H
#define VXOUTCOMECLASSIFIER_H

#include <QByteArray>

#include <curl/curl.h>

// What one finished attempt of a request amounts to: its result code (0, an HTTP status that is
// not 2xx, a transport or local code of VXResultCodes.h) and whether it is worth sending again.
// A pure function of the attempt's facts: no handle, no clock, callable from any thread.
class VXOutcomeClassifier
{
public:
    struct Attempt
    {
        CURLcode curlResult = CURLE_OK;
        long httpStatus = 0;       // 0 when no answer arrived
        QByteArray etag;           // the answer's ETag header as sent, quotes included
        QByteArray bodyMd5Hex;     // MD5 of the bytes sent; empty: not checked
        bool etagRequired = false; // a part of a file: the completion must be able to name it
        bool readFailed = false;   // the local file failed or came short while being sent
        bool stalled = false;      // ended by the component's stall time-out
        bool wireLimitHit = false; // cut off before going on the wire once too often
    };

    struct Outcome
    {
        int code = 0;
        bool transient = false;
        bool etagMissing = false; // a 2xx part without an ETag (named in the failure text)
    };

    static Outcome classify(const Attempt& attempt);

    // A 2xx answer whose plain-MD5 ETag (32 hex digits, quotes and case aside) is not the MD5 of
    // the bytes sent: they were damaged on the way or read wrongly. Multipart and KMS ETags are
    // not MD5s and are not compared; neither is a body whose hash is unknown.
    static bool integrityMismatch(const QByteArray& etag, const QByteArray& bodyMd5Hex);
};

#endif // VXOUTCOMECLASSIFIER_H
