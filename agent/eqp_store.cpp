// Interim equipment store: the record and its accessor only, until the
// full store lands.
#include "agent.h"

extern "C" {
EqpConfig g_eqpConfig;
EqpConfig *saGetEqpConfigPtr(void) { return &g_eqpConfig; }
}

extern "C" void InitFactoryDefault(void) {
    EqpConfig *e = &g_eqpConfig;
    e->host_flag = 1;
    read_str(e->vendor, "Vorna123456789012345678");
    read_str(e->model, "Model_LoRa_GW12");
    read_str(e->server_name, "DeviceName12345");
    read_str(e->serial_no, "SerialNo1234567");
    read_str(e->hw_id, "HW_ID_123456789");
    e->networkmode = 1;
    NetMACAddressGet(e->mac);
    e->fixed_ip = 0xC0A80001;
    e->fixed_netmask = 0xFFFFFF00;
    e->fixed_gateway = 0xC0A800FE;
}

extern "C" char *read_str(char *dst, const char *src) { return __builtin_strcpy(dst, src); }
