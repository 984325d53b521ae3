// The built-in Xilinx configuration bitstream (a .bit file), compiled into the program. The
// array's bytes in memory order are the file's bytes in file order, followed by two zero
// bytes of padding.
#ifndef KA_KAXILINX_H
#define KA_KAXILINX_H

#include <MacTypes.h>

extern "C" {
extern const UInt32 KaXilinxDataSizeBytes;  // 336754
extern const UInt32 KaXilinxData[84189];
}

#endif
