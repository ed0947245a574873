#include "core/state.h"

#include "core/error.h"

hv_state S{};

bool hv_require_open() {
    if (S.is_open) return true;
    hv_err("no file open");
    return false;
}
