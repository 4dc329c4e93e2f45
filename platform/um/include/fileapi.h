/* File functions. */
#ifndef FL_UM_FILEAPI_H
#define FL_UM_FILEAPI_H

#include "minwinbase.h"

#endif
