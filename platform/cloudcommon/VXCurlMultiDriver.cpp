#include "VXCurlMultiDriver.h"

#include "VXCloudCommonLog.h"

#include <QSocketNotifier>
#include <QTimer>

bool VXCurlMultiDriver::initCurlOnce()
{
    static const bool ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ok;
}

VXCurlMultiDriver::VXCurlMultiDriver(ActivityHandler onActivity, WarningSink warn,
                                     QObject* parent)
    : QObject(parent),
      m_pTimer(new QTimer(this)),
      m_onActivity(std::move(onActivity)),
      m_warn(std::move(warn))
{
    if (!initCurlOnce())
        this->warn(QStringLiteral("VXCurlMultiDriver: curl_global_init failed"));
    m_pMulti = curl_multi_init();
    curl_multi_setopt(m_pMulti, CURLMOPT_SOCKETFUNCTION, &VXCurlMultiDriver::socketCallback);
    curl_multi_setopt(m_pMulti, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(m_pMulti, CURLMOPT_TIMERFUNCTION, &VXCurlMultiDriver::timerCallback);
    curl_multi_setopt(m_pMulti, CURLMOPT_TIMERDATA, this);

    m_pTimer->setSingleShot(true);
    connect(m_pTimer, &QTimer::timeout, this,
            [this] { socketAction(CURL_SOCKET_TIMEOUT, 0); });
}

VXCurlMultiDriver::~VXCurlMultiDriver()
{
    // Closing the cached connections must not call back into a half-destroyed object.
    curl_multi_setopt(m_pMulti, CURLMOPT_SOCKETFUNCTION, nullptr);
    curl_multi_setopt(m_pMulti, CURLMOPT_TIMERFUNCTION, nullptr);
    curl_multi_cleanup(m_pMulti);
    // The notifiers are children and go with this object.
}

bool VXCurlMultiDriver::addHandle(CURL* easy)
{
    const CURLMcode rc = curl_multi_add_handle(m_pMulti, easy);
    if (rc != CURLM_OK) {
        warn(QStringLiteral("VXCurlMultiDriver::addHandle: ")
             + QString::fromUtf8(curl_multi_strerror(rc)));
        return false;
    }
    return true;
}

void VXCurlMultiDriver::removeHandle(CURL* easy)
{
    for (int i = m_finishedList.size() - 1; i >= 0; --i) {
        if (m_finishedList.at(i).easy == easy)
            m_finishedList.remove(i);
    }
    curl_multi_remove_handle(m_pMulti, easy);
}

bool VXCurlMultiDriver::takeFinished(CURL** easy, CURLcode* result)
{
    if (m_finishedList.isEmpty())
        return false;
    const Finished first = m_finishedList.takeFirst();
    *easy = first.easy;
    *result = first.result;
    return true;
}

int VXCurlMultiDriver::socketCallback(CURL*, curl_socket_t socket, int what, void* userp, void*)
{
    auto* self = static_cast<VXCurlMultiDriver*>(userp);
    if (what == CURL_POLL_REMOVE)
        self->unwatchSocket(socket);
    else
        self->watchSocket(socket, what);
    return 0;
}

int VXCurlMultiDriver::timerCallback(CURLM*, long timeoutMs, void* userp)
{
    // Only the timer is touched here: curl must not be re-entered from its own callback, so even
    // a zero time-out is served from the event loop.
    auto* self = static_cast<VXCurlMultiDriver*>(userp);
    if (timeoutMs < 0)
        self->m_pTimer->stop();
    else
        self->m_pTimer->start(int(qMin<long>(timeoutMs, 24L * 3600 * 1000)));
    return 0;
}

void VXCurlMultiDriver::watchSocket(curl_socket_t socket, int what)
{
    SocketWatch& watch = m_socketMap[socket];
    if (!watch.read) {
        watch.read = new QSocketNotifier(qintptr(socket), QSocketNotifier::Read, this);
        watch.write = new QSocketNotifier(qintptr(socket), QSocketNotifier::Write, this);
        connect(watch.read, &QSocketNotifier::activated, this,
                [this, socket] { socketAction(socket, CURL_CSELECT_IN); });
        connect(watch.write, &QSocketNotifier::activated, this,
                [this, socket] { socketAction(socket, CURL_CSELECT_OUT); });
    }
    watch.read->setEnabled(what == CURL_POLL_IN || what == CURL_POLL_INOUT);
    watch.write->setEnabled(what == CURL_POLL_OUT || what == CURL_POLL_INOUT);
}

void VXCurlMultiDriver::unwatchSocket(curl_socket_t socket)
{
    const auto it = m_socketMap.find(socket);
    if (it == m_socketMap.end())
        return;
    // The notifier may be the one whose activation is being served right now, and curl may
    // reuse the descriptor at once: disable now (unregisters the descriptor), delete later.
    for (QSocketNotifier* notifier : {it->second.read, it->second.write}) {
        notifier->setEnabled(false);
        notifier->deleteLater();
    }
    m_socketMap.erase(it);
}

void VXCurlMultiDriver::socketAction(curl_socket_t socket, int eventMask)
{
    int running = 0;
    const CURLMcode rc = curl_multi_socket_action(m_pMulti, socket, eventMask, &running);
    if (rc != CURLM_OK)
        warn(QStringLiteral("VXCurlMultiDriver::socketAction: ")
             + QString::fromUtf8(curl_multi_strerror(rc)));

    // Messages are copied out before anybody can remove a handle, which would invalidate them.
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(m_pMulti, &queued)) {
        if (msg->msg == CURLMSG_DONE)
            m_finishedList.append({msg->easy_handle, msg->data.result});
    }
    // Last statement: the handler may destroy this object, so it runs from a local copy.
    const ActivityHandler handler = m_onActivity;
    handler();
}

void VXCurlMultiDriver::warn(const QString& text) const
{
    if (m_warn)
        m_warn(text);
    else
        qCWarning(lcCloudCommon).noquote() << text;
}
