#pragma once

#include <QString>

#include <optional>
#include <string>

namespace tarvex_sim {

// Maps COM N to the simulator's link and puts back what was there before.
class PortRegistration
{
public:
    PortRegistration(int com, const std::string &simulatorFolder);

    bool registerPath(const std::string &path, std::string *report);
    // Leaves a value that somebody else wrote meanwhile alone. False when the
    // store could not be written.
    bool restore(std::string *report);

private:
    // A link in the simulators' folder, or a pseudo-terminal as earlier
    // simulators mapped them.
    bool isSimulators(const QString &value) const;
    QString read(const QString &fallback) const;
    static std::string location();

    QString m_key;
    QString m_simulatorFolder;
    QString m_path;
    std::optional<QString> m_previous;
};

} // namespace tarvex_sim
