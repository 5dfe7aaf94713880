#pragma once

// Resource numbers shared by updater.rc and the code.
#define IDI_UPDATER 1
