/* Compiled as C: it links only if the store's exports carry plain,
 * undecorated symbols. */
#include "agent.h"

int eqp_store_link_check(void) {
    void *const exports[] = {
        (void *)&g_eqpConfig,      (void *)saGetEqpConfigPtr, (void *)InitFactoryDefault,
        (void *)InitHostConfig,    (void *)InitNetworkConfig, (void *)read_str,
        (void *)InitSystemConfig,  (void *)UpdateCurrentIP,   (void *)getipaddr,
        (void *)getmask,           (void *)getdefaultgateway, (void *)get_Primary_dns,
        (void *)get_Secondary_dns, (void *)getipaddress,
    };
    unsigned missing = 0;
    for (unsigned i = 0; i < sizeof exports / sizeof exports[0]; ++i)
        if (!exports[i]) ++missing;
    return (int)missing;
}
