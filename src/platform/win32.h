// The one header through which the program reaches the platform: the real
// Windows headers on Windows, the portable layer's declarations elsewhere.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/types.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/gdi.h"
#include "platform/window.h"
#endif
