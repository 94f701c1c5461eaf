#pragma once

#include "trainer_panel/colour_button.h"
#include "trainer_panel/frm_FaultsAndMods.h"

#include <QAction>
#include <QColor>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QtTest>

// What the main window shows, worked out from its design rather than taken
// from its code, and the checks of its state that the tests share.
namespace panel_checks {

// The button face colour as a system colour, and the colour of an inserted item.
inline constexpr quint32 FaceColour = 0x8000000F;
inline constexpr quint32 LightRed = 0x008080FF;
inline const QColor StatusGreen(0, 192, 0);
inline const QColor StatusRed(255, 0, 0);

inline const QString NotFoundText = QStringLiteral(
    "The Tarvex base was not found.  Please check the connection and\r\n"
    "make sure that the power switch of the Tarvex base is turned on.");
inline const QString LostText = QStringLiteral(
    "The connection has been lost.  Please check the cable (Serial or USB) and make sure that the "
    "power switch of the Tarvex base is turned on.");

// The controls that only work connected are enabled when it is, the others
// when it is not.
inline void VerifyControlsFollow(frm_FaultsAndMods *window, bool connected)
{
    QCOMPARE(window->btn_Connect->isEnabled(), !connected);
    QCOMPARE(window->btn_Disconnect->isEnabled(), connected);
    QCOMPARE(window->btn_Reset->isEnabled(), connected);
    QCOMPARE(window->frame_Faults->isEnabled(), connected);
    QCOMPARE(window->frame_CircuitMods->isEnabled(), connected);
    QCOMPARE(window->frame_BoardOptions->isEnabled(), connected);
    for (QAction *item : window->menu_Com)
        QCOMPARE(item->isEnabled(), !connected);
    for (ColourButton *button : window->btn_Mod)
        QCOMPARE(button->isEnabled(), connected);
    for (ColourButton *button : window->btn_Fault)
        QCOMPARE(button->isEnabled(), connected);
}

inline void VerifyConnected(frm_FaultsAndMods *window, int com)
{
    QCOMPARE(window->lbl_Connection->text(), QStringLiteral("Connected on COM %1").arg(com));
    QCOMPARE(window->lbl_Connection->palette().color(QPalette::WindowText), StatusGreen);
    QVERIFY(window->MSCommObject->portOpen());
    VerifyControlsFollow(window, true);
}

inline void VerifyDisconnected(frm_FaultsAndMods *window)
{
    QCOMPARE(window->lbl_Connection->text(), QStringLiteral("Disconnected"));
    QCOMPARE(window->lbl_Connection->palette().color(QPalette::WindowText), StatusRed);
    QVERIFY(!window->MSCommObject->portOpen());
    VerifyControlsFollow(window, false);
}

// "fault 3" or "mod 20".
inline ColourButton *ItemButton(frm_FaultsAndMods *window, const QString &item)
{
    const QStringList parts = item.split(QLatin1Char(' '));
    const auto index = std::size_t(parts.value(1).toInt() - 1);
    return parts.value(0) == QLatin1String("fault") ? window->btn_Fault.at(index) : window->btn_Mod.at(index);
}

} // namespace panel_checks
