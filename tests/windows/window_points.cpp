// Prints where the Wine scenarios click in Velmora's main window: for each
// control, "name x y", the centre in pixels from the top-left corner of the
// client area (below the menu bar); first "client width height". Built for the
// build machine from the window's own layout table, so that the clicks follow it.
#include "protocol/tarvex_protocol.h"
#include "trainer_panel/faults_and_mods_layout.h"

#include <QPoint>
#include <QRect>
#include <cstdio>
#include <string>

namespace layout = faults_and_mods_layout;

namespace {

void print(const std::string &name, const QRect &rect, QPoint container = {})
{
    const QPoint centre = container + rect.topLeft() + QPoint(rect.width() / 2, rect.height() / 2);
    std::printf("%s %d %d\n", name.c_str(), centre.x(), centre.y());
}

} // namespace

int main()
{
    std::printf("client %d %d\n", platform::TwipsToPixels(layout::ClientWidth),
                platform::TwipsToPixels(layout::ClientHeight));
    print("btn_Connect", layout::btn_Connect.toPixels());
    print("btn_Disconnect", layout::btn_Disconnect.toPixels());
    print("Label1", layout::Label1.toPixels());
    // Frames place their controls from their own outer corner.
    const QPoint board = layout::frame_BoardOptions.toPixels().topLeft();
    print("btn_Reset", layout::btn_Reset.toPixels(), board);
    const QPoint mods = board + layout::frame_CircuitMods.toPixels().topLeft();
    for (int index = 0; index < tarvex_protocol::ModificationCount; ++index)
        print("btn_Mod_" + std::to_string(index), layout::ItemButton(index, layout::ModColumns).toPixels(), mods);
    const QPoint faults = board + layout::frame_Faults.toPixels().topLeft();
    for (int index = 0; index < tarvex_protocol::FaultCount; ++index)
        print("btn_Fault_" + std::to_string(index), layout::ItemButton(index, layout::FaultColumns).toPixels(),
              faults);
    return 0;
}
