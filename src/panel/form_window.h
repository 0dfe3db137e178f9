// The main window's widgets: the options window laid out in res/servmain.ui,
// the tray menu and the debug console window, as the form's view.
#pragma once

#include <memory>

#include "panel/servmain.h"

std::unique_ptr<FormView> MakeWidgetView(TForm1& form);
