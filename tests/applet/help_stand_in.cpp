// A module that stands where a help control could be registered: the applet
// test sees from its presence in the process whether the applet loaded it.
#include "win32/windows.h"

extern "C" __attribute__((visibility("default"))) int HelpStandIn();

int HelpStandIn() { return 1; }
