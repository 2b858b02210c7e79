#include "platform/process_state.h"

#include "platform/driver_faults.h"
#include "platform/faults.h"
#include "platform/message_box.h"
#include "platform/tick.h"
#include "platform/ui_thread.h"

namespace platform {

void resetProcessState() {
    setMessageHandler(nullptr);
    acceptSendersAgain();
    answerBoxesSilently(false);
    setMessageBoxShower(nullptr);
    resetTickOffset();
    clearPlatformFaults();
    clearDriverFaults();
}

} // namespace platform
