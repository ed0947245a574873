#include "core/state.h"

hv_state S{};
