// The Carbon subset the desktop program uses, over our own toolkit layer.
#ifndef KA_PLATFORM_CARBON_CARBON_H
#define KA_PLATFORM_CARBON_CARBON_H

#include <CoreFoundation/CoreFoundation.h>
#include <MacTypes.h>

#include <Carbon/CarbonCore.h>
#include <Carbon/CarbonEvents.h>
#include <Carbon/HIToolbox.h>
#include <Carbon/Processes.h>

#endif
