#pragma once

#include "product_info.h"

#include <QString>

// Captions and messages of the main window, as the user sees them.
namespace panel_texts {

inline const QString WindowCaption = QStringLiteral("Velmora");
inline const QString ConnectionFrame = QStringLiteral("Connection Status");
inline const QString Connect = QStringLiteral("Connect");
inline const QString Disconnect = QStringLiteral("Disconnect");
inline const QString Disconnected = QStringLiteral("Disconnected");
inline const QString ConnectedOnCom = QStringLiteral("Connected on COM ");
inline const QString BoardOptions = QStringLiteral("Board options");
inline const QString CircuitMods = QStringLiteral("Circuit Modifications");
inline const QString Faults = QStringLiteral("Faults");
inline const QString ResetAll = QStringLiteral("Reset All");
inline const QString Info = QStringLiteral(
    "Please refer to instructor's guide to obtain the description of faults and circuit modifications.");
inline const QString Version = QStringLiteral("Version ") + QString::fromLatin1(product_info::VelmoraVersion);

inline const QString FileMenu = QStringLiteral("&File");
inline const QString ExitItem = QStringLiteral("E&xit");
inline const QString OptionMenu = QStringLiteral("&Option");
inline const QString PortMenu = QStringLiteral("&Communication Port");
inline QString PortItem(int portNumber) { return QStringLiteral("COM &%1").arg(portNumber); }
// What a port item leads to, beside a device's path or a bench's HOST:PORT:
// its tool tip and accessible description.
inline QString SystemPortTarget(int portNumber) { return QStringLiteral("the system's COM%1").arg(portNumber); }
inline QString TlsTarget(const QString &address) { return QStringLiteral("%1 (TLS)").arg(address); }
inline const QString UnusableTarget = QStringLiteral("not usable");

// Not captions: what assistive tools and tooltips call an item button.
inline QString FaultName(int faultNumber) { return QStringLiteral("Fault %1").arg(faultNumber); }
inline QString ModName(int modNumber) { return QStringLiteral("Modification %1").arg(modNumber); }

inline const QString NotFoundTitle = QStringLiteral("Tarvex base not found");
inline const QString NotFoundText = QStringLiteral(
    "The Tarvex base was not found.  Please check the connection and\r\n"
    "make sure that the power switch of the Tarvex base is turned on.");
inline const QString InvalidPortText = QStringLiteral("The selected COM port is invalid.");
inline const QString LostTitle = QStringLiteral("Connection lost");
inline const QString LostText = QStringLiteral(
    "The connection has been lost.  Please check the cable (Serial or USB) and make sure that "
    "the power switch of the Tarvex base is turned on.");

} // namespace panel_texts
