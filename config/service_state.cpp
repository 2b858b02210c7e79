#include "config/service_state.h"

ServiceState serviceState;
