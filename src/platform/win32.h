// The one header through which the program reaches the platform: the real
// Windows headers on Windows, the portable layer's declarations elsewhere.
#pragma once

#ifdef _WIN32
// No min/max macros, so std::min and std::max stay usable.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include "platform/types.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/gdi.h"
#include "platform/window.h"
#endif
