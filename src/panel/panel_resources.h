// The pictures compiled into the panel library (res/icons.qrc), reached as
// ":/icons/NAME" with NAME one of SERVER_CONN, SERVER_DISC, SERVER_ERR,
// SERVER_MID, MAINICON and VARN.
#pragma once

// Registers them. A static library's resources are dropped by the linker
// unless something refers to them, so call this once before the first use
// (before the options window's layout is set up: it names MAINICON).
void InitPanelResources();
