// Every area of the emulated terminal's interface at once. Prefer the area headers a
// file uses (Image.h, Journal.h, Faults.h, RegistryTree.h, Programs.h, Paths.h,
// Text.h, DeviceIdentity.h, Errors.h): a file that includes this one is rebuilt for a
// change to any of them.
#ifndef KORVA_PLATFORM_HOST_TERMINAL_H
#define KORVA_PLATFORM_HOST_TERMINAL_H

#include "platform/host/DeviceIdentity.h"
#include "platform/host/Errors.h"
#include "platform/host/Faults.h"
#include "platform/host/Image.h"
#include "platform/host/Journal.h"
#include "platform/host/Paths.h"
#include "platform/host/Programs.h"
#include "platform/host/RegistryTree.h"
#include "platform/host/Text.h"

#endif  // KORVA_PLATFORM_HOST_TERMINAL_H
