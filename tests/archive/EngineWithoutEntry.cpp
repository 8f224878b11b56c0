// A library under the engine's name that lacks the "dzip" entry.
#include "dzip.h"

extern "C" DZ_EXPORT int32_t DZ_CALL not_dzip(ZIPCMDSTRUCT*) { return 0; }
