#include "VXCurlWorker.h"

#include "VXCurlEngine.h"

#include <QEventLoop>
#include <QSocketNotifier>

VXCurlWorker::VXCurlWorker() : m_thread([this] { run(); }) {}

VXCurlWorker::~VXCurlWorker()
{
    m_quit.store(true, std::memory_order_release);
    m_wakeup.signal(); // always: the quit flag is no command, nothing else wakes the worker for it
    m_thread.join();
}

void VXCurlWorker::start(VXCurlRequest request)
{
    m_inFlight.fetch_add(1, std::memory_order_relaxed);
    push({Command::Kind::Start, std::move(request), {}});
}

void VXCurlWorker::stop(const QVector<quint64>& ids)
{
    push({Command::Kind::Stop, {}, ids});
}

void VXCurlWorker::push(Command command)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_commandQueue.push_back(std::move(command));
        if (m_commandQueue.size() > 1) // a wake-up is already pending
            return;
    }
    m_wakeup.signal();
}

void VXCurlWorker::run()
{
    // The event loop first: it gives this (non-Qt) thread the event dispatcher that the
    // engine's timers and socket notifiers need.
    QEventLoop loop;
    {
        VXCurlEngine engine(&m_inFlight);
        QSocketNotifier notifier(m_wakeup.fd(), QSocketNotifier::Read);
        QObject::connect(&notifier, &QSocketNotifier::activated, &loop, [&] {
            m_wakeup.drain();
            serveCommands(&engine);
        });
        // The loop is run by hand, not by exec(): the quit flag is checked after every wake-up,
        // whether or not Qt delivered the notifier's event (it delivers none once the
        // application object is gone), so the destructor's signal always ends it.
        while (!m_quit.load(std::memory_order_acquire)) {
            serveCommands(&engine);
            loop.processEvents(QEventLoop::WaitForMoreEvents);
        }
    }
    // The engine is gone: its requests ended without a report, its connections closed.
}

void VXCurlWorker::serveCommands(VXCurlEngine* engine)
{
    for (;;) {
        Command command;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (m_commandQueue.empty())
                return;
            command = std::move(m_commandQueue.front());
            m_commandQueue.pop_front();
        }
        switch (command.kind) {
        case Command::Kind::Start:
            engine->start(std::move(command.request));
            break;
        case Command::Kind::Stop:
            for (quint64 id : command.ids)
                engine->stop(id);
            break;
        }
    }
}
