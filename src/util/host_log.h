// The host's logger: the CTool handle OpenLog stores, which the host may
// replace while requests run (readers always see a whole value).
//
// Thread-safe.
#ifndef ZELVAR_UTIL_HOST_LOG_H_
#define ZELVAR_UTIL_HOST_LOG_H_

#include <cstdint>

class CTool;

namespace zelvar {

// The logger stored by OpenLog; null until then.
CTool* CurrentLogger();
void SetLogger(intptr_t tool);

}  // namespace zelvar

#endif  // ZELVAR_UTIL_HOST_LOG_H_
