#include "app/boot_delay.h"

void waitForBootDelay(const std::function<void(uint32_t)>& sleep) {
    while (platform::systemUpTime() < BOOT_SETTLE_MS)
        sleep(1000);
}
