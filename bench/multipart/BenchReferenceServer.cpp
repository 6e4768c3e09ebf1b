#include "BenchReferenceServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QUrl>
#include <QXmlStreamReader>

namespace {

QString randomHex()
{
    QByteArray bytes(24, Qt::Uninitialized);
    for (char& byte : bytes)
        byte = char(QRandomGenerator::system()->bounded(256));
    return QString::fromLatin1(bytes.toHex());
}

QMap<QString, QString> readEnvFile(const QString& path)
{
    QMap<QString, QString> settings;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return settings;
    while (!file.atEnd()) {
        QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1String("export ")))
            line = line.mid(7).trimmed();
        const int equals = line.indexOf(QLatin1Char('='));
        if (line.startsWith(QLatin1Char('#')) || equals < 1)
            continue;
        QString value = line.mid(equals + 1).trimmed();
        if (value.size() >= 2 && (value.startsWith('"') || value.startsWith('\''))
            && value.endsWith(value.at(0)))
            value = value.mid(1, value.size() - 2);
        settings.insert(line.left(equals).trimmed(), value);
    }
    return settings;
}

} // namespace

BenchReferenceServer::~BenchReferenceServer()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.closeWriteChannel(); // --exit-with-stdin
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(1000);
    }
}

QString BenchReferenceServer::nodeProgram(QString* error)
{
    QProcess script;
    script.start(QStringLiteral(VXBENCH_NODE_SCRIPT), QStringList());
    if (script.waitForFinished(10000) && script.exitCode() == 0)
        return QString::fromLocal8Bit(script.readAllStandardOutput()).trimmed();
    if (error)
        *error = QString::fromLocal8Bit(script.readAllStandardError()).trimmed();
    return {};
}

bool BenchReferenceServer::start(const QString& gatewayDir, const QString& serverMain,
                                 QString* error)
{
    const QString envPath = QDir(gatewayDir).filePath(QStringLiteral("rgw.env"));
    m_cephConf = QDir(gatewayDir).filePath(QStringLiteral("ceph.conf"));
    if (!QFile::exists(m_cephConf))
        m_cephConf.clear();
    const QMap<QString, QString> written = readEnvFile(envPath);
    // rgw.sh writes RGW_ENDPOINT, RGW_REGION, ...; the server reads the same as S3_*.
    m_settings.clear();
    for (auto it = written.cbegin(); it != written.cend(); ++it) {
        QString key = it.key();
        if (key.startsWith(QLatin1String("RGW_")))
            key = QStringLiteral("S3_") + key.mid(4);
        if (key.startsWith(QLatin1String("S3_")) && !m_settings.contains(key))
            m_settings.insert(key, it.value());
    }
    if (m_settings.value("S3_ENDPOINT").isEmpty()) {
        *error = QStringLiteral("no RGW_ENDPOINT or S3_ENDPOINT in %1").arg(envPath);
        return false;
    }
    if (m_settings.value("S3_BUCKETS").isEmpty())
        m_settings.insert("S3_BUCKETS", QStringLiteral("bench-uploads"));
    if (!m_settings.contains("S3_FORCE_PATH_STYLE"))
        m_settings.insert("S3_FORCE_PATH_STYLE", "true");
    if (!m_settings.contains("S3_CREATE_BUCKETS"))
        m_settings.insert("S3_CREATE_BUCKETS", "true");
    m_bucket = m_settings.value("S3_BUCKETS").section(QLatin1Char(','), 0, 0).trimmed();
    m_token = randomHex();

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (auto it = m_settings.cbegin(); it != m_settings.cend(); ++it)
        environment.insert(it.key(), it.value());
    environment.insert("LISTEN_HOST", "127.0.0.1");
    environment.insert("LISTEN_PORT", "0");
    environment.insert("API_TOKEN", m_token);
    environment.insert("AUTH_SECRET", randomHex());
    environment.insert("LOG_LEVEL", "warn");
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QString node = nodeProgram(error);
    if (node.isEmpty())
        return false;
    m_process.start(node, {serverMain, QStringLiteral("--exit-with-stdin")});
    if (!m_process.waitForStarted(5000)) {
        *error = QStringLiteral("cannot run node %1").arg(serverMain);
        return false;
    }
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 30000 && m_process.state() == QProcess::Running) {
        if (!m_process.canReadLine() && !m_process.waitForReadyRead(1000))
            continue;
        const QByteArray line = m_process.readLine().trimmed();
        if (line.startsWith("LISTENING ")) {
            m_url = QString::fromUtf8(line.mid(10));
            return true;
        }
    }
    *error = QStringLiteral("the reference server did not print LISTENING within 30 s");
    return false;
}

BenchChildRun BenchReferenceServer::signedRequest(const QString& curlProgram,
                                                  const QStringList& arguments,
                                                  const QString& pathAndQuery) const
{
    const QString region = m_settings.value("S3_REGION", QStringLiteral("us-east-1"));
    QString endpoint = m_settings.value("S3_ENDPOINT");
    while (endpoint.endsWith(QLatin1Char('/')))
        endpoint.chop(1);
    return runBenchChild(curlProgram,
                         QStringList{"-sS", "--aws-sigv4",
                                     QStringLiteral("aws:amz:%1:s3").arg(region), "-u",
                                     m_settings.value("S3_ACCESS_KEY_ID") + ':'
                                         + m_settings.value("S3_SECRET_ACCESS_KEY"),
                                     "-H", "x-amz-content-sha256: UNSIGNED-PAYLOAD"}
                             + arguments + QStringList{endpoint + '/' + m_bucket + pathAndQuery});
}

bool BenchReferenceServer::removeObject(const QString& curlProgram, const QString& key) const
{
    const BenchChildRun run = signedRequest(
        curlProgram, {"-o", "/dev/null", "-w", "%{http_code}", "-X", "DELETE"}, '/' + key);
    if (run.exitCode != 0 || !run.output.startsWith('2'))
        return false;
    if (!m_cephConf.isEmpty()) {
        runBenchChild(QStringLiteral("radosgw-admin"),
                      {"-c", m_cephConf, "gc", "process", "--include-all"});
    }
    return true;
}

qint64 BenchReferenceServer::storedSize(const QString& curlProgram, const QString& key) const
{
    const BenchChildRun run = signedRequest(curlProgram, {"-I"}, '/' + key);
    const QString headers = QString::fromLatin1(run.output);
    const QRegularExpression length(QStringLiteral("^content-length:\\s*(\\d+)"),
                                    QRegularExpression::CaseInsensitiveOption
                                        | QRegularExpression::MultilineOption);
    const auto match = length.match(headers);
    if (run.exitCode != 0 || !headers.startsWith(QLatin1String("HTTP/1.1 200"))
        || !match.hasMatch())
        return -1;
    return match.captured(1).toLongLong();
}

bool BenchReferenceServer::listObjects(const QString& curlProgram, const QString& prefix,
                                       QMap<QString, qint64>* sizes) const
{
    QString token;
    for (;;) {
        QString query = QStringLiteral("?list-type=2&max-keys=1000&prefix=")
            + QString::fromLatin1(QUrl::toPercentEncoding(prefix));
        if (!token.isEmpty())
            query = QStringLiteral("?continuation-token=")
                + QString::fromLatin1(QUrl::toPercentEncoding(token)) + '&' + query.mid(1);
        const BenchChildRun run = signedRequest(curlProgram, {"-f"}, query);
        if (run.exitCode != 0)
            return false;
        QXmlStreamReader xml(run.output);
        QString key;
        bool truncated = false;
        token.clear();
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            const auto name = xml.name(); // QStringRef in Qt 5, QStringView in Qt 6
            if (name == QLatin1String("Key"))
                key = xml.readElementText();
            else if (name == QLatin1String("Size"))
                sizes->insert(key, xml.readElementText().toLongLong());
            else if (name == QLatin1String("IsTruncated"))
                truncated = xml.readElementText() == QLatin1String("true");
            else if (name == QLatin1String("NextContinuationToken"))
                token = xml.readElementText();
        }
        if (xml.hasError())
            return false;
        if (!truncated)
            return true;
        if (token.isEmpty())
            return false;
    }
}
