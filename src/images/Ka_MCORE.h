// The built-in MCORE program image (Motorola S-records, CR LF line ends), compiled into the
// program. The array's bytes in memory order are the file's bytes in file order.
#ifndef KA_KA_MCORE_H
#define KA_KA_MCORE_H

#include <MacTypes.h>

extern "C" {
extern const UInt32 KaMCORE06dataSize;  // 74876
extern const UInt32 KaMCORE06data[18719];
}

#endif
