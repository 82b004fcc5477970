#include "platform/host/HostInternal.h"
