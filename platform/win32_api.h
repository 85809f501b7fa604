// The one header through which the service reaches the operating system.
//
// On Windows it is the SDK and nothing else. Elsewhere it declares the same
// names, records and constants, implemented by the simulated Windows machine
// in platform/sim, so the service's sources compile unchanged on both.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first: the others depend on its types.
#include <dbt.h>
#include <setupapi.h>
#include <winspool.h>
#else
#include "platform/sim/win32_decls.h"
#endif
