// Saving the logical content: over the open file (in place) or to another path.
#pragma once

// path null or empty: in place (nothing to do without staged edits), after
// which the file is opened again as saved; otherwise save-as. 0 on success, -1
// with a message. The target is replaced only by a complete, verified copy
// whenever the folder allows it; see save.cpp.
int hv_save(const char *path);
