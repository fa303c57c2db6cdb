/*
 * agent.h - the configuration agent's modules as a host daemon links them.
 *
 * Three modules live behind this header:
 *   setup        the UDP configuration datagram service
 *   eqp_store    the equipment record, its factory defaults and the
 *                network state probe
 *   emit_gwconf  the gateway configuration record and the writer of the
 *                packet forwarder's global_conf.json
 *
 * Every name below has C linkage and a plain symbol, so a host written in C
 * or C++ links all modules alike.
 *
 * Threading: none of these functions is reentrant. The records are
 * process-wide globals read and written in place; the host serialises every
 * call and does not change a record while a module is reading it.
 *
 * IPv4 addresses are unsigned 32-bit numbers in host byte order whose most
 * significant byte is the first number of the dotted form: 192.168.0.1 is
 * 0xC0A80001. 0 means that no address is known.
 *
 * MAC addresses are six bytes, first byte first, in the records, on the wire
 * and in comparisons.
 */
#ifndef GWAGENT_AGENT_H
#define GWAGENT_AGENT_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Configuration datagram formats                                            */
/* ------------------------------------------------------------------------ */

#define SEARCH_COMMAND_LEN 24    /* discovery request */
#define MESSAGE_COMMAND_LEN 80   /* command datagram */
#define UPDATE_COMMAND_LEN 1048  /* update datagram */
#define UPDATE_PAYLOAD_SIZE 1024 /* one configuration block */
#define SEARCH_FORMAT_LEN 1033   /* discovery reply */
#define SERVER_ACK_MSG_LEN 32    /* acknowledgement of "ClrCfgBuf" */
#define RECV_BUF_SIZE 1200       /* most bytes read of one datagram */

/* The 15 bytes that open a discovery request; no NUL belongs to it. */
#define SEARCH_MAGIC "Vorna Inc. QLM "
#define SEARCH_MAGIC_LEN 15

/* First byte of every reply. */
#define REPLY_MARKER 'V'

/* ------------------------------------------------------------------------ */
/* Equipment record                                                          */
/* ------------------------------------------------------------------------ */

/* Natural alignment, no packing: the layout is part of the interface. Text
 * members hold NUL-terminated text that ends inside the array. */
typedef struct EqpConfig {
    uint8_t host_flag;      /* 1 after the identity defaults */
    char vendor[24];        /* "Vorna123456789012345678" */
    char model[16];         /* "Model_LoRa_GW12" */
    char server_name[16];   /* device name, "DeviceName12345" */
    char serial_no[16];     /* "SerialNo1234567" */
    char hw_id[16];         /* "HW_ID_123456789" */
    char host_reserved[16]; /* all zero after the defaults */
    uint8_t spare[3];       /* never written by the modules */
    uint8_t networkmode;    /* 1 after the defaults */
    uint8_t mac[6];         /* from NetMACAddressGet, first byte first */
    uint32_t ip;            /* live settings, filled by the probe */
    uint32_t netmask;
    uint32_t gateway;
    uint32_t pri_dns;
    uint32_t sec_dns;
    uint32_t fixed_ip;      /* fixed settings, 192.168.0.1 by default */
    uint32_t fixed_netmask; /* 255.255.255.0 */
    uint32_t fixed_gateway; /* 192.168.0.254 */
    uint32_t net_reserved1;
    uint32_t net_reserved2;
} EqpConfig;

/* The one equipment record: all zero at load, MAC address included, until
 * InitFactoryDefault or InitSystemConfig runs. Owned by eqp_store. */
extern EqpConfig g_eqpConfig;

/* Returns &g_eqpConfig: the same address on every call, never NULL, valid
 * from program start. The caller reads and writes the record in place. */
EqpConfig *saGetEqpConfigPtr(void);

/* Loads every factory default into g_eqpConfig: identity defaults, then
 * network defaults (which ask NetMACAddressGet for the MAC address). The
 * live settings become 0; `spare` keeps what it held. Logs to stderr. */
void InitFactoryDefault(void);

/* Identity defaults only: host_flag, the five identity texts, host_reserved.
 * Touches no other member. */
void InitHostConfig(void);

/* Network defaults only: networkmode 1, the MAC address from
 * NetMACAddressGet, the fixed settings, and 0 in the live and reserved
 * settings. Touches no other member. */
void InitNetworkConfig(void);

/* Copies the NUL-terminated text at src, terminator included, to dst and
 * returns dst. No length is checked: dst must be large enough. */
char *read_str(char *dst, const char *src);

/* ------------------------------------------------------------------------ */
/* Network state probe                                                       */
/*                                                                           */
/* The probes run the site scripts ipaddr.sh, gateway.sh and dns.sh from the */
/* current working directory through the shell and parse the files they     */
/* write there (./ipaddr_1, ./gateway_1, ./dns_1). Two probes must never run */
/* at the same time, in this process or another.                             */
/* ------------------------------------------------------------------------ */

/* Start-up entry point: InitFactoryDefault, then UpdateCurrentIP. The host
 * calls it once, before any module reads the record, from the directory
 * that holds the site scripts. */
void InitSystemConfig(void);

/* Runs the five probes into ip, netmask, gateway, pri_dns and sec_dns of
 * g_eqpConfig and logs the MAC address and the live values. Leaves every
 * other member alone. Blocks while nine shell commands run. */
void UpdateCurrentIP(void);

/* Each stores one host-order address at *out (0 when none is known). */
void getipaddr(uint32_t *out);
void getmask(uint32_t *out);
void getdefaultgateway(uint32_t *out);
/* The first argument is not used. */
void get_Primary_dns(int ignored, uint32_t *out);
void get_Secondary_dns(int ignored, uint32_t *out);

/* Returns the live IPv4 address (host order, 0 when none is known) and
 * prints what it found on standard output. */
uint32_t getipaddress(void);

/* ------------------------------------------------------------------------ */
/* Configuration datagram service                                            */
/* ------------------------------------------------------------------------ */

/* The discovery reply is built here, from zero, for every discovery request
 * that is answered. Owned by setup. */
extern uint8_t search_format[SEARCH_FORMAT_LEN];

/* Reads exactly one datagram from socket_fd (an IPv4 UDP socket on which a
 * datagram is ready), handles it and answers on the same socket where the
 * protocol asks for an answer. Logs to stderr, bytes from the network as
 * they are when printable ASCII and as \xNN otherwise; reports nothing to
 * the caller. Calls getDeviceConfig or setDeviceConfig at most once.
 * "TimeSync" runs the date command only for a date text it can place on
 * the time line at or after the program's build time (docs/gwcfgd.md lists
 * the forms) and that the gate below lets through. */
void process_client_event(int socket_fd);

/* Lets the host decide whether a "TimeSync" command may set the clock now.
 * The handler calls gate() for every TimeSync whose date text it would
 * otherwise run (printable date characters, a date it can place, not
 * before the program's build time). gate returns NULL to let the date
 * command run, or a short reason (static text) to refuse it: the handler
 * then logs "[TimeSync]refused: <reason>; nothing was run" and runs
 * nothing. gate NULL, the default, lets every such command run. */
void set_timesync_gate(const char *(*gate)(void));

/* Writes the local date and time as "YYYYMMDD hh:mm:ss" into datetime_text
 * and logs it. The zone is the one in force at the call (TZ is read again
 * each time). The caller provides at least 18 bytes; no more than 18 are
 * ever written. */
void get_current_datetime(char *datetime_text);

/* ------------------------------------------------------------------------ */
/* Gateway configuration record                                              */
/* ------------------------------------------------------------------------ */

/* One radio. */
typedef struct RadioConfig {
    bool enable;
    uint32_t freq;       /* centre frequency, Hz */
    float rssi_offset;   /* RSSI correction, dB */
    uint8_t reserved[4]; /* not read by the modules */
    bool tx_enable;
    char type[11]; /* radio model name, NUL-terminated */
} RadioConfig;

/* One receive channel; the same type serves all ten channels. */
typedef struct ChannelConfig {
    bool enable;
    uint8_t radio;       /* index of the radio it receives through */
    int32_t if_freq;     /* signed IF offset, Hz */
    uint32_t bandwidth;  /* read for the LoRa standard and FSK channels */
    uint32_t datarate;   /* FSK: data rate; LoRa standard: spreading factor */
    uint8_t reserved[4]; /* not read by the modules */
} ChannelConfig;

/* One TX gain table entry. */
typedef struct TxGainEntry {
    uint8_t dig_gain;
    uint8_t pa_gain;
    uint8_t reserved; /* not read by the modules */
    uint8_t mix_gain;
    int8_t rf_power; /* dBm, signed */
} TxGainEntry;

/* Forwarder-to-network-server settings. */
typedef struct ForwarderSettings {
    char gateway_ID[20];     /* at most 19 characters */
    char server_address[64]; /* name or dotted address */
    int32_t serv_port_up;
    int32_t serv_port_down;
    int32_t keepalive_interval;
    uint32_t stat_interval;
    int32_t push_timeout_ms;
    bool forward_crc_valid;
    bool forward_crc_error;
    bool forward_crc_disabled;
} ForwarderSettings;

/* Natural alignment, no packing: the layout is part of the interface. */
typedef struct GatewayConfig {
    bool lorawan_public;
    uint8_t clksrc;
    RadioConfig radios[2];
    ChannelConfig chan_multiSF[8];
    ChannelConfig chan_Lora_std;
    ChannelConfig chan_FSK;
    TxGainEntry tx_lut[16];
    uint8_t tx_lut_count; /* not read: the file always carries 16 entries */
    ForwarderSettings gateway_conf;
} GatewayConfig;

/* The one gateway record, zero-filled at load. The host fills it. Owned by
 * emit_gwconf. */
extern GatewayConfig g_Gatewayconfig;

/* Exported and zero-filled; no module reads or writes it. */
extern ForwarderSettings gateway_config;

/* Returns &g_Gatewayconfig: the same writable address on every call, never
 * NULL. */
GatewayConfig *saGetGatewayconfig(void);

/* Every temporary file emit_gwconf makes starts with this name, in the
 * directory of the file it replaces; a host may remove such files that a
 * killed process left behind while no emit_gwconf runs. */
#define GLOBAL_CONF_TEMP_PREFIX ".global_conf.json."

/* Renders *gw and the name and fixed settings of *eqp as "global_conf.json"
 * in the current working directory, and prints two lines on stdout. Both
 * records are only read. The previous file is replaced whole or, on any
 * failure, left exactly as it was; nothing is reported to the caller. */
void emit_gwconf(GatewayConfig *gw, EqpConfig *eqp);

/* ------------------------------------------------------------------------ */
/* Functions the host daemon supplies                                        */
/* ------------------------------------------------------------------------ */

/* Fill the 1024 bytes at block (all zero on entry) with the gateway's
 * current configuration block. Called once per answered discovery request.
 * The result is not used. */
int getDeviceConfig(uint8_t *block);

/* Take over (copy or apply) the 1024-byte block, which is valid only during
 * the call. Called once per accepted update datagram. The result is not
 * used. */
int setDeviceConfig(const uint8_t *block);

/* Write the gateway's six-byte MAC address at mac, first byte first. Called
 * once by every InitNetworkConfig. The result is not used. */
int NetMACAddressGet(uint8_t *mac);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ------------------------------------------------------------------------ */
/* Layout checks: a host built with another compiler must see the same      */
/* records.                                                                  */
/* ------------------------------------------------------------------------ */

#ifdef __cplusplus
#define GWAGENT_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define GWAGENT_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

GWAGENT_STATIC_ASSERT(offsetof(EqpConfig, vendor) == 1, "vendor");
GWAGENT_STATIC_ASSERT(offsetof(EqpConfig, model) == 25, "model");
GWAGENT_STATIC_ASSERT(offsetof(EqpConfig, server_name) == 41, "server_name");
GWAGENT_STATIC_ASSERT(offsetof(EqpConfig, serial_no) == 57, "serial_no");
GWAGENT_STATIC_ASSERT(offsetof(EqpConfig, hw_id) == 73, "hw_id");
GWAGENT_STATIC_ASSERT(offsetof(EqpConfig, host_reserved) == 89, "host_reserved");
GWAGENT_STATIC_ASSERT(offsetof(EqpConfig, spare) == 105, "spare");
GWAGENT_STATIC_ASSERT(offsetof(EqpConfig, networkmode) == 108, "networkmode");
GWAGENT_STATIC_ASSERT(offsetof(EqpConfig, mac) == 109, "mac");
GWAGENT_STATIC_ASSERT(offsetof(EqpConfig, ip) == 116, "ip");
GWAGENT_STATIC_ASSERT(offsetof(EqpConfig, netmask) == 120, "netmask");
GWAGENT_STATIC_ASSERT(offsetof(EqpConfig, gateway) == 124, "gateway");
GWAGENT_STATIC_ASSERT(offsetof(EqpConfig, pri_dns) == 128, "pri_dns");
GWAGENT_STATIC_ASSERT(offsetof(EqpConfig, sec_dns) == 132, "sec_dns");
GWAGENT_STATIC_ASSERT(offsetof(EqpConfig, fixed_ip) == 136, "fixed_ip");
GWAGENT_STATIC_ASSERT(offsetof(EqpConfig, fixed_netmask) == 140, "fixed_netmask");
GWAGENT_STATIC_ASSERT(offsetof(EqpConfig, fixed_gateway) == 144, "fixed_gateway");
GWAGENT_STATIC_ASSERT(offsetof(EqpConfig, net_reserved1) == 148, "net_reserved1");
GWAGENT_STATIC_ASSERT(offsetof(EqpConfig, net_reserved2) == 152, "net_reserved2");
GWAGENT_STATIC_ASSERT(sizeof(EqpConfig) == 156, "EqpConfig size");

GWAGENT_STATIC_ASSERT(offsetof(RadioConfig, freq) == 4, "radio freq");
GWAGENT_STATIC_ASSERT(offsetof(RadioConfig, rssi_offset) == 8, "radio rssi_offset");
GWAGENT_STATIC_ASSERT(offsetof(RadioConfig, tx_enable) == 16, "radio tx_enable");
GWAGENT_STATIC_ASSERT(offsetof(RadioConfig, type) == 17, "radio type");
GWAGENT_STATIC_ASSERT(sizeof(RadioConfig) == 28, "RadioConfig size");

GWAGENT_STATIC_ASSERT(offsetof(ChannelConfig, radio) == 1, "channel radio");
GWAGENT_STATIC_ASSERT(offsetof(ChannelConfig, if_freq) == 4, "channel if_freq");
GWAGENT_STATIC_ASSERT(offsetof(ChannelConfig, bandwidth) == 8, "channel bandwidth");
GWAGENT_STATIC_ASSERT(offsetof(ChannelConfig, datarate) == 12, "channel datarate");
GWAGENT_STATIC_ASSERT(sizeof(ChannelConfig) == 20, "ChannelConfig size");

GWAGENT_STATIC_ASSERT(offsetof(TxGainEntry, mix_gain) == 3, "tx mix_gain");
GWAGENT_STATIC_ASSERT(offsetof(TxGainEntry, rf_power) == 4, "tx rf_power");
GWAGENT_STATIC_ASSERT(sizeof(TxGainEntry) == 5, "TxGainEntry size");

GWAGENT_STATIC_ASSERT(offsetof(ForwarderSettings, server_address) == 20, "server_address");
GWAGENT_STATIC_ASSERT(offsetof(ForwarderSettings, serv_port_up) == 84, "serv_port_up");
GWAGENT_STATIC_ASSERT(offsetof(ForwarderSettings, serv_port_down) == 88, "serv_port_down");
GWAGENT_STATIC_ASSERT(offsetof(ForwarderSettings, keepalive_interval) == 92, "keepalive");
GWAGENT_STATIC_ASSERT(offsetof(ForwarderSettings, stat_interval) == 96, "stat_interval");
GWAGENT_STATIC_ASSERT(offsetof(ForwarderSettings, push_timeout_ms) == 100, "push_timeout");
GWAGENT_STATIC_ASSERT(offsetof(ForwarderSettings, forward_crc_valid) == 104, "crc_valid");
GWAGENT_STATIC_ASSERT(offsetof(ForwarderSettings, forward_crc_disabled) == 106, "crc_disabled");
GWAGENT_STATIC_ASSERT(sizeof(ForwarderSettings) == 108, "ForwarderSettings size");

GWAGENT_STATIC_ASSERT(offsetof(GatewayConfig, clksrc) == 1, "clksrc");
GWAGENT_STATIC_ASSERT(offsetof(GatewayConfig, radios) == 4, "radios");
GWAGENT_STATIC_ASSERT(offsetof(GatewayConfig, chan_multiSF) == 60, "chan_multiSF");
GWAGENT_STATIC_ASSERT(offsetof(GatewayConfig, chan_Lora_std) == 220, "chan_Lora_std");
GWAGENT_STATIC_ASSERT(offsetof(GatewayConfig, chan_FSK) == 240, "chan_FSK");
GWAGENT_STATIC_ASSERT(offsetof(GatewayConfig, tx_lut) == 260, "tx_lut");
GWAGENT_STATIC_ASSERT(offsetof(GatewayConfig, tx_lut_count) == 340, "tx_lut_count");
GWAGENT_STATIC_ASSERT(offsetof(GatewayConfig, gateway_conf) == 344, "gateway_conf");
GWAGENT_STATIC_ASSERT(sizeof(GatewayConfig) == 452, "GatewayConfig size");

#undef GWAGENT_STATIC_ASSERT

#endif /* GWAGENT_AGENT_H */
