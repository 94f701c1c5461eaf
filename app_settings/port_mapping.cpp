#include "app_settings/port_mapping.h"

#include "app_settings/settings_keys.h"
#include "platform/settings/settings_store.h"

#include <QDir>
#include <QFileInfo>

namespace {

QString readTls(const QString &key)
{
    return platform::SettingsStore::read(settings_keys::Application, settings_keys::SectionTls, key, QString());
}

// Relative paths start where the user keeps things of this program's: beside
// the settings file, or in the roaming application data folder on Windows.
QString absoluteTlsPath(const QString &path)
{
    if (path.isEmpty() || QDir::isAbsolutePath(path))
        return path;
#ifdef Q_OS_WIN
    const QString base = qEnvironmentVariable("APPDATA");
#else
    const QString base = QFileInfo(platform::SettingsStore::location(settings_keys::Application)).absolutePath();
#endif
    return QDir::cleanPath(QDir(base).absoluteFilePath(path));
}

} // namespace

platform::PortTarget ResolveComPort(int portNumber)
{
    if (portNumber < 1)
        return platform::PortTargetFromMapping(portNumber, QString());
    const QString mapped = platform::SettingsStore::read(settings_keys::Application, settings_keys::SectionPorts,
                                                         settings_keys::PortKey(portNumber), QString());
    platform::PortTarget target = platform::PortTargetFromMapping(portNumber, mapped);
    if (target.kind != platform::PortTarget::Kind::Network)
        return target;
    if (!target.tls) {
        // A lab that has set up certificates is not led back to the open path by a mistyped mapping.
        if (readTls(settings_keys::TlsRequired).compare(settings_keys::True, Qt::CaseInsensitive) == 0)
            return platform::InvalidPortTarget(portNumber, mapped,
                                               QStringLiteral("which is not TLS (rfc2217s://), and [TLS] Required is true"));
        return target;
    }
    target.tlsFiles.ca = absoluteTlsPath(readTls(settings_keys::TlsCa));
    target.tlsFiles.certificate = absoluteTlsPath(readTls(settings_keys::TlsCertificate));
    target.tlsFiles.key = absoluteTlsPath(readTls(settings_keys::TlsKey));
    return target;
}
