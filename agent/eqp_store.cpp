// Interim equipment store: the record and its accessor only, until the
// full store lands.
#include "agent.h"

extern "C" {
EqpConfig g_eqpConfig;
EqpConfig *saGetEqpConfigPtr(void) { return &g_eqpConfig; }
}
