#include "panel_resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE declares a function and must be used outside any namespace.
static void InitIcons() { Q_INIT_RESOURCE(icons); }

void InitPanelResources() { InitIcons(); }
