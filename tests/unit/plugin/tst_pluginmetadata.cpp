// The shipped plugin, built against the real components, as the plugin loader reads it. A test
// of its own: the other plugin tests link the recording doubles, which define the same classes.
#include <QJsonObject>
#include <QLibrary>
#include <QPluginLoader>
#include <QtTest>

class tst_PluginMetadata : public QObject
{
    Q_OBJECT

private slots:
    void metadataBlock();
};

void tst_PluginMetadata::metadataBlock()
{
    QLibrary library(qEnvironmentVariable("VXUPLOAD_SHIPPED_PLUGIN_DIR")
                     + QStringLiteral("/libVXFileUpload.so"));
    QVERIFY2(library.load(), qPrintable(library.errorString()));
    using Query = const char* (*)();
    const auto query = reinterpret_cast<Query>(library.resolve("qt_plugin_query_metadata"));
    QVERIFY(query);

    QByteArray expected("QTMETADATA !");
    expected.append("\x00\x05\x0f\x00", 4);
    expected.append("\xbf\x02\x78\x21", 4);
    expected.append("TransferDepot.VXFileUpload.Plugin");
    expected.append("\x03\x6c", 2);
    expected.append("VXFileUpload");
    expected.append('\xff');
    QCOMPARE(expected.size(), 68);
    QCOMPARE(QByteArray(query(), 68).toHex(' '), expected.toHex(' '));

    QPluginLoader loader(library.fileName());
    const QJsonObject meta = loader.metaData();
    QCOMPARE(meta.value("IID").toString(), QStringLiteral("TransferDepot.VXFileUpload.Plugin"));
    QCOMPARE(meta.value("className").toString(), QStringLiteral("VXFileUpload"));
    QCOMPARE(meta.value("debug").toBool(), false);
    QCOMPARE(meta.value("MetaData").toObject(), QJsonObject());
}

QTEST_GUILESS_MAIN(tst_PluginMetadata)
#include "tst_pluginmetadata.moc"
