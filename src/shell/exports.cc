// The module's exported functions that belong to the shell: the logger
// handle and the hand-back of reply buffers. The request exports live with
// their handlers.

#include "zelvar/zelvar.h"

#include "shell/module_state.h"

extern "C" {

int OpenLog(intptr_t tool) {
  zelvar::SetLogger(tool);
  return 0;
}

void MyDeletePtr(char* p) { delete[] p; }

}  // extern "C"
