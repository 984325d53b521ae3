// The one colour of the window's red lines (RedLines.h). The platform tells whoever cannot
// see it that a line in this colour is a warning.
#ifndef KA_REDLINECOLOR_H
#define KA_REDLINECOLOR_H

#include <Carbon/CarbonCore.h>

inline constexpr RGBColor kRedLineColor = {0xFFFF, 0x0000, 0x0000};

#endif
