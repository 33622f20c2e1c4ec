// On Windows the stages call the platform itself.
#ifndef TUSAK_PLATFORM_WIN32_PLATFORM_H
#define TUSAK_PLATFORM_WIN32_PLATFORM_H

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#endif
