#ifndef VXCURLMULTIDRIVER_H
#define VXCURLMULTIDRIVER_H

#include <QObject>
#include <QVector>

#include <curl/curl.h>

#include <functional>
#include <map>

class QSocketNotifier;
class QTimer;

// Drives one libcurl multi handle from the Qt event loop of the thread that owns it: a
// QSocketNotifier pair per socket that curl asks to watch, and one single-shot QTimer for curl's
// time-outs. Every curl_multi_socket_action happens from an event of this thread, never from a
// caller's stack.
//
// After each curl_multi_socket_action the driver collects the finished transfers
// (curl_multi_info_read) and then calls the activity handler once, outside any curl call. The
// handler takes the finished transfers one by one with takeFinished(); it may add and remove
// handles, and may even destroy the driver (it must then stop using it at once).
//
// Its warnings go to the warning sink when one is given (a worker thread hands them to the
// host's thread that way), otherwise straight to the "vx.cloudcommon" category.
class VXCurlMultiDriver : public QObject
{
    Q_OBJECT

public:
    using ActivityHandler = std::function<void()>;
    using WarningSink = std::function<void(const QString&)>;

    explicit VXCurlMultiDriver(ActivityHandler onActivity, WarningSink warn = {},
                               QObject* parent = nullptr);
    ~VXCurlMultiDriver() override;

    // Starts `easy` (configured by the caller, not owned). Returns false when curl refuses it.
    bool addHandle(CURL* easy);
    // Stops `easy` and forgets a finished message of it that has not been taken yet. The easy
    // handle's connection stays in the multi handle's cache for the next request to that host.
    void removeHandle(CURL* easy);
    // The next finished transfer collected since the last socket action, if any.
    bool takeFinished(CURL** easy, CURLcode* result);
    // libcurl's global set-up, once per process (never torn down: other users of libcurl in the
    // host, and components created later, keep relying on it); false when it failed.
    static bool initCurlOnce();

private:
    struct SocketWatch
    {
        QSocketNotifier* read = nullptr;
        QSocketNotifier* write = nullptr;
    };

    struct Finished
    {
        CURL* easy;
        CURLcode result;
    };

    static int socketCallback(CURL* easy, curl_socket_t socket, int what, void* userp,
                              void* socketp);
    static int timerCallback(CURLM* multi, long timeoutMs, void* userp);

    void watchSocket(curl_socket_t socket, int what);
    void unwatchSocket(curl_socket_t socket);
    void socketAction(curl_socket_t socket, int eventMask);
    void warn(const QString& text) const;

    CURLM* m_pMulti = nullptr;
    QTimer* m_pTimer = nullptr;
    ActivityHandler m_onActivity;
    WarningSink m_warn;
    std::map<curl_socket_t, SocketWatch> m_socketMap;
    QVector<Finished> m_finishedList;
};

#endif // VXCURLMULTIDRIVER_H
