// Resource ids of installer.exe.
#pragma once

#define IDI_INSTALLER 101
#define IDS_CAPTION 1
#define IDS_CONSENT 2
