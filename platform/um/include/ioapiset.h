/* Device I/O and completion ports. */
#ifndef FL_UM_IOAPISET_H
#define FL_UM_IOAPISET_H

#include "minwinbase.h"

#endif
