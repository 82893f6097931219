// keys.h -- the sibling's name for the key kernel (../kernels/keys.h), which
// the module's sort shares: fields, words, orders, bit scans, packed keys.
#pragma once

#include "../kernels/keys.h"
