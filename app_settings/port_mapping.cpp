#include "app_settings/port_mapping.h"

#include "app_settings/settings_in_force.h"
#include "app_settings/settings_keys.h"

#include <QDir>
#include <QFileInfo>

namespace {

// Relative paths start where the value was set: beside the settings file that
// holds it, or on Windows in the user's roaming application data folder (for
// the user's values) or the machine's (for lab IT's).
QString absoluteTlsPath(const SettingInForce &setting)
{
    const QString &path = setting.value;
    if (path.isEmpty() || QDir::isAbsolutePath(path))
        return path;
#ifdef Q_OS_WIN
    const QString base = qEnvironmentVariable(setting.origin == SettingInForce::Origin::Machine ? "ProgramData"
                                                                                              : "APPDATA");
#else
    const QString base = QFileInfo(setting.where).absolutePath();
#endif
    return QDir::cleanPath(QDir(base).absoluteFilePath(path));
}

QString tlsFile(const QString &key)
{
    return absoluteTlsPath(ReadInForce(settings_keys::SectionTls, key));
}

} // namespace

platform::PortTarget ResolveComPort(int portNumber)
{
    if (portNumber < 1)
        return platform::PortTargetFromMapping(portNumber, QString());
    const QString mapped = ReadInForce(settings_keys::SectionPorts, settings_keys::PortKey(portNumber)).value;
    platform::PortTarget target = platform::PortTargetFromMapping(portNumber, mapped);
    if (target.kind != platform::PortTarget::Kind::Network)
        return target;
    if (!target.tls) {
        // A lab that has set up certificates is not led back to the open path by a mistyped mapping.
        if (TlsRequired())
            return platform::InvalidPortTarget(portNumber, mapped,
                                               QStringLiteral("which is not TLS (rfc2217s://), and [TLS] Required is true"));
        return target;
    }
    target.tlsFiles.ca = tlsFile(settings_keys::TlsCa);
    target.tlsFiles.certificate = tlsFile(settings_keys::TlsCertificate);
    target.tlsFiles.key = tlsFile(settings_keys::TlsKey);
    return target;
}
