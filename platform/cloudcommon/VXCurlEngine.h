#ifndef VXCURLENGINE_H
#define VXCURLENGINE_H

#include "VXCurlRequest.h"
#include "VXCurlTransfer.h"

#include <QObject>

#include <curl/curl.h>

#include <atomic>
#include <map>
#include <memory>

class QTimer;
class VXCurlMultiDriver;

// Runs requests on one worker thread: the table of requests in flight, the multi driver, the
// stall clock and the retries. Created, used and destroyed on that thread only (VXCurlWorker);
// nothing here is touched from another thread except the in-flight count, an atomic the pool
// reads to pick the least busy worker.
//
// Every request ends with exactly one Finished report to its mailbox, unless stop() removed it
// first; progress reports come before it, one per whole percentage gained. Reports are posted
// from the event loop (a socket or timer event after curl has returned), never from inside a
// curl call. Destroying the engine ends every request without a report. It logs nothing itself:
// its log lines go to the mailboxes as Log reports, written on the host's thread.
class VXCurlEngine : public QObject
{
    Q_OBJECT

public:
    explicit VXCurlEngine(std::atomic<int>* inFlight);
    ~VXCurlEngine() override;

    void start(VXCurlRequest request);
    void stop(quint64 id);

private:
    struct Entry
    {
        std::unique_ptr<VXCurlTransfer> transfer;
        VXCurlRequest request; // its settings and its mailbox; the body is the transfer's
    };

    bool setUp(Entry* entry);
    void startAttempt(Entry* entry);
    void failStalledTransfers();
    void onDriverActivity();
    void reportProgress();
    void finishTransfer(Entry* entry, CURLcode result);
    bool scheduleRetry(Entry* entry);
    void retryNow(quint64 id);
    void reportOutcome(quint64 id, CURLcode result);
    void reportFailure(Entry* entry, int code);
    void log(const Entry& entry, QtMsgType type, const QString& text);
    void logToAll(QtMsgType type, const QString& text);
    void erase(quint64 id);

    std::atomic<int>* m_pInFlight;
    std::unique_ptr<VXCurlMultiDriver> m_pDriver;
    QTimer* m_pStallTimer; // runs while requests are in flight
    std::map<quint64, Entry> m_entryMap;
};

#endif // VXCURLENGINE_H
