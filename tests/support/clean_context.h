#pragma once
// The manager's context as a fresh process has it, for one test: resetContext() when
// the object is made and again when it goes, so no slot, host list or flag reaches
// the next test. For tests without a ManagerHarness, which does the same itself.
// UI thread, with no worker thread running.
#include "config/manager_context.h"

class CleanContext {
  public:
    CleanContext() { resetContext(); }
    ~CleanContext() { resetContext(); }
    CleanContext(const CleanContext&) = delete;
    CleanContext& operator=(const CleanContext&) = delete;
};
