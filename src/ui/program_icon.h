#pragma once

#include <QIcon>

namespace z39 {

// The program's icon on every window: a catalogue card under a magnifying glass, drawn
// as packaging/z39client.svg draws it for the menu entry (no SVG module is needed).
QIcon ProgramIcon();

}  // namespace z39
