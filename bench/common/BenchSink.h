#ifndef BENCHSINK_H
#define BENCHSINK_H

#include <QProcess>
#include <QString>
#include <QStringList>

// Runs bench_http_sink (found next to the benchmark program) as a child process for as long as
// this object lives. `arguments` go to the sink (for example "--rate-mib", "50").
class BenchSink
{
public:
    BenchSink();
    ~BenchSink();

    bool start(const QStringList& arguments = QStringList());
    QString baseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_port); }
    // A PUT URL for `remote` as a pre-signed one looks (the sink checks no signature).
    QString putUrl(const QString& remote) const
    {
        return baseUrl() + QStringLiteral("/bucket/") + remote + QStringLiteral("?X-Signature=x");
    }
    // True when the multipart object behind `downloadUrl` holds `size` bytes: the sink names
    // the bytes it assembled in the URL it answers the completion with.
    static bool holdsAssembled(const QString& downloadUrl, qint64 size)
    {
        return downloadUrl.endsWith(QStringLiteral("?bytes=%1").arg(size));
    }

private:
    QProcess m_process;
    int m_port = 0;
};

#endif // BENCHSINK_H
