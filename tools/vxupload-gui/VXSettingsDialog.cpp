#include "VXSettingsDialog.h"

#include "VXSettingKeys.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
#include <QVBoxLayout>

VXSettingsDialog::VXSettingsDialog(bool uploadsRunning, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Server settings"));
    setObjectName(QStringLiteral("settings"));
    auto* layout = new QVBoxLayout(this);
    auto* file = new QLabel(QStringLiteral("Stored in %1").arg(VXSettings::iniPath()));
    file->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(file);
    m_pForm = new QFormLayout;
    layout->addLayout(m_pForm);
    m_pCloudHost = addField(VXSettings::CloudHost, QStringLiteral("Cloud host"),
                            QStringLiteral("http://127.0.0.1:8080"));
    m_pApiHost = addField(VXSettings::ApiHost, QStringLiteral("API host"),
                          QStringLiteral("the cloud host"));
    m_pToken = addField(VXSettings::Token, QStringLiteral("Token"), QStringLiteral("none"));
    m_pToken->setEchoMode(QLineEdit::PasswordEchoOnEdit);

    if (uploadsRunning) {
        layout->addWidget(new QLabel(
            QStringLiteral("Saving stops the unfinished uploads; Retry them afterwards.")));
    }
    m_pError = new QLabel;
    m_pError->setStyleSheet(QStringLiteral("color: #b01e1e"));
    m_pError->setWordWrap(true);
    m_pError->hide();
    layout->addWidget(m_pError);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &VXSettingsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &VXSettingsDialog::reject);
    layout->addWidget(buttons);
}

QString VXSettingsDialog::iniValue(const VXSetting& setting)
{
    const QSettings ini(VXSettings::iniPath(), QSettings::IniFormat);
    const QVariant value = ini.value(setting.iniKey());
    // A value holding commas reads back as a list, as the plugin reads it: joined again.
    return (value.userType() == QMetaType::QStringList ? value.toStringList().join(QLatin1Char(','))
                                                       : value.toString())
        .trimmed();
}

QString VXSettingsDialog::overrideNote(const VXSetting& setting)
{
    if (!setting.environment || !qEnvironmentVariableIsSet(setting.environment))
        return QString();
    const QString value = qEnvironmentVariable(setting.environment).trimmed();
    const QString name = QLatin1String(setting.environment);
    if (qstrcmp(setting.environment, VXSettings::Token.environment) == 0) {
        // An empty token variable switches a configured token off.
        return value.isEmpty() ? QStringLiteral("%1 is set but empty: no token is sent").arg(name)
                               : QStringLiteral("%1 is set and is used instead").arg(name);
    }
    if (value.isEmpty())
        return QString(); // a blank variable leaves the INI value in force
    return QStringLiteral("%1 is set and is used instead: %2").arg(name, value);
}

QString VXSettingsDialog::apiHost()
{
    const QString environment = qEnvironmentVariable(VXSettings::ApiHost.environment).trimmed();
    if (!environment.isEmpty())
        return environment;
    const QString apiHost = iniValue(VXSettings::ApiHost);
    return apiHost.isEmpty() ? iniValue(VXSettings::CloudHost) : apiHost;
}

QString VXSettingsDialog::missingServerNote()
{
    if (!apiHost().isEmpty())
        return QString();
    return QStringLiteral("No cloud server is configured: open Settings and enter its address.");
}

void VXSettingsDialog::accept()
{
    QString error;
    if (!save(&error)) {
        m_pError->setText(error);
        m_pError->show();
        return;
    }
    QDialog::accept();
}

QLineEdit* VXSettingsDialog::addField(const VXSetting& setting, const QString& label,
                                      const QString& hint)
{
    auto* edit = new QLineEdit(iniValue(setting));
    edit->setObjectName(QLatin1String(setting.key));
    edit->setPlaceholderText(hint);
    edit->setMinimumWidth(360);
    m_pForm->addRow(label, edit);
    const QString note = overrideNote(setting);
    if (!note.isEmpty()) {
        auto* noteLabel = new QLabel(note);
        noteLabel->setObjectName(QLatin1String(setting.key) + QStringLiteral("Override"));
        noteLabel->setStyleSheet(QStringLiteral("color: #8a5a00"));
        m_pForm->addRow(QString(), noteLabel);
    }
    return edit;
}

bool VXSettingsDialog::save(QString* error) const
{
    QSettings ini(VXSettings::iniPath(), QSettings::IniFormat);
    const QList<QPair<const VXSetting*, QLineEdit*>> fields = {
        {&VXSettings::CloudHost, m_pCloudHost},
        {&VXSettings::ApiHost, m_pApiHost},
        {&VXSettings::Token, m_pToken}};
    for (const auto& field : fields) {
        const QString value = field.second->text().trimmed();
        // An empty field removes the key: the API host then follows the cloud host.
        if (value.isEmpty())
            ini.remove(field.first->iniKey());
        else
            ini.setValue(field.first->iniKey(), value);
    }
    ini.sync();
    if (ini.status() == QSettings::NoError)
        return true;
    *error = QStringLiteral("%1 cannot be written (%2).")
                 .arg(VXSettings::iniPath(), ini.status() == QSettings::AccessError
                                                 ? QStringLiteral("no permission")
                                                 : QStringLiteral("not a valid INI file"));
    return false;
}
