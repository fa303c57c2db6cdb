/*
 * eqp_store - the equipment record, its factory defaults and the network
 * state probe.
 *
 * The record g_eqpConfig is all zero at load. InitSystemConfig loads the
 * factory defaults and then runs UpdateCurrentIP, which fills the five live
 * IPv4 members by running the site scripts ipaddr.sh, gateway.sh and dns.sh
 * from the working directory and parsing the files they leave there
 * (./ipaddr_1, ./gateway_1, ./dns_1).
 *
 * Nothing here is reentrant: the probes share fixed file names in the
 * working directory and tokenise module-local buffers.
 */
#include "agent.h"
#include "agent_dprintf.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern "C" {
EqpConfig g_eqpConfig;
}

namespace {

/* Identity defaults. Each text and its NUL fill their array exactly. */
const char kVendor[24] = "Vorna123456789012345678";
const char kModel[16] = "Model_LoRa_GW12";
const char kServerName[16] = "DeviceName12345";
const char kSerialNo[16] = "SerialNo1234567";
const char kHwId[16] = "HW_ID_123456789";

static_assert(sizeof kVendor == sizeof g_eqpConfig.vendor, "vendor default");
static_assert(sizeof kModel == sizeof g_eqpConfig.model, "model default");
static_assert(sizeof kServerName == sizeof g_eqpConfig.server_name, "server_name default");
static_assert(sizeof kSerialNo == sizeof g_eqpConfig.serial_no, "serial_no default");
static_assert(sizeof kHwId == sizeof g_eqpConfig.hw_id, "hw_id default");

/* ---- script output files ---------------------------------------------- */

/* Runs one command line through the shell and waits for it. Its status
 * says nothing the probe could use: a script that failed shows as the file
 * it left (or did not leave). */
void run(const char *command) {
    int status = system(command);
    (void)status;
}

const size_t kOutBufSize = 256;

/* Reads at most the first 255 bytes of path into buf, which is zeroed
 * first, so the text ends at the file's first NUL byte or after 255 bytes.
 * A file that cannot be opened reads as the empty text. */
void read_output(const char *path, char (&buf)[kOutBufSize]) {
    memset(buf, 0, sizeof buf);
    FILE *f = fopen(path, "r");
    if (!f) return;
    size_t got = fread(buf, 1, sizeof buf - 1, f);
    (void)got;
    buf[sizeof buf - 1] = '\0';
    fclose(f);
}

/* strtok semantics on a caller-owned cursor: skips a run of sep, returns
 * the token up to (not including) the next sep, consumes that sep. NULL
 * when only separators or nothing remain; the cursor then stays at the end,
 * so every later call returns NULL as well. */
char *next_token(char **cursor, char sep) {
    const char seps[2] = {sep, '\0'};
    return strtok_r(nullptr, seps, cursor);
}

/* Starts tokenising text. */
char *first_token(char *text, char **cursor, char sep) {
    const char seps[2] = {sep, '\0'};
    return strtok_r(text, seps, cursor);
}

bool is_null_text(const char *text) { return strncmp(text, "(null)", 6) == 0; }

/* Dotted text to a host-order address by the inet_aton rules (which stop
 * at whitespace); no text or a text that does not convert gives 0. */
uint32_t to_host_addr(const char *text) {
    struct in_addr a;
    if (!text || inet_aton(text, &a) == 0) return 0;
    return ntohl(a.s_addr);
}

/* Null test, then conversion. */
uint32_t checked_addr(const char *text) {
    if (!text || is_null_text(text)) return 0;
    return to_host_addr(text);
}

}  // namespace

extern "C" {

/* ---- equipment record and factory defaults ----------------------------- */

EqpConfig *saGetEqpConfigPtr(void) { return &g_eqpConfig; }

char *read_str(char *dst, const char *src) {
    char *d = dst;
    while ((*d++ = *src++) != '\0') {
    }
    return dst;
}

void InitHostConfig(void) {
    DPRINTF(32, "InitHostConfig()\n");
    g_eqpConfig.host_flag = 1;
    memcpy(g_eqpConfig.vendor, kVendor, sizeof kVendor);
    memcpy(g_eqpConfig.model, kModel, sizeof kModel);
    memcpy(g_eqpConfig.server_name, kServerName, sizeof kServerName);
    memcpy(g_eqpConfig.serial_no, kSerialNo, sizeof kSerialNo);
    memcpy(g_eqpConfig.hw_id, kHwId, sizeof kHwId);
    memset(g_eqpConfig.host_reserved, 0, sizeof g_eqpConfig.host_reserved);
}

void InitNetworkConfig(void) {
    DPRINTF(32, "InitNetworkConfig()\n");
    g_eqpConfig.networkmode = 1;
    NetMACAddressGet(g_eqpConfig.mac);
    g_eqpConfig.fixed_ip = 0xC0A80001u;      /* 192.168.0.1 */
    g_eqpConfig.fixed_netmask = 0xFFFFFF00u; /* 255.255.255.0 */
    g_eqpConfig.fixed_gateway = 0xC0A800FEu; /* 192.168.0.254 */
    g_eqpConfig.ip = 0;
    g_eqpConfig.netmask = 0;
    g_eqpConfig.gateway = 0;
    g_eqpConfig.pri_dns = 0;
    g_eqpConfig.sec_dns = 0;
    g_eqpConfig.net_reserved1 = 0;
    g_eqpConfig.net_reserved2 = 0;
}

void InitFactoryDefault(void) {
    DPRINTF(128, "\nInitFactoryDefault()\n");
    InitHostConfig();
    InitNetworkConfig();
}

/* ---- network state probe ----------------------------------------------- */

/* "./ipaddr_1": label ":" address " " ... ; token 1 with ":", then token 2
 * with " ". Without token 1 the whole (empty or all-colon) text is taken,
 * which does not convert. */
void getipaddr(uint32_t *out) {
    char buf[kOutBufSize];
    char *cur = nullptr;
    run("chmod +x ipaddr.sh");
    run("./ipaddr.sh");
    read_output("./ipaddr_1", buf);
    const char *text = buf;
    if (first_token(buf, &cur, ':')) text = next_token(&cur, ' ');
    *out = checked_addr(text);
}

/* Tokens 1 to 3 with ":", token 4 with " ". Relies on getipaddr having
 * made ipaddr.sh executable. */
void getmask(uint32_t *out) {
    char buf[kOutBufSize];
    char *cur = nullptr;
    run("./ipaddr.sh");
    read_output("./ipaddr_1", buf);
    const char *text = nullptr;
    if (first_token(buf, &cur, ':') && next_token(&cur, ':') && next_token(&cur, ':'))
        text = next_token(&cur, ' ');
    *out = checked_addr(text);
}

/* "./gateway_1": word, spaces, address. No second word means 0.0.0.0. */
void getdefaultgateway(uint32_t *out) {
    char buf[kOutBufSize];
    char *cur = nullptr;
    run("chmod +x gateway.sh");
    run("./gateway.sh");
    read_output("./gateway_1", buf);
    const char *text = nullptr;
    if (first_token(buf, &cur, ' ')) text = next_token(&cur, ' ');
    if (!text) text = "0.0.0.0";
    *out = checked_addr(text);
}

/* "./dns_1": token 2 with " ", cut at its first space, CR or LF. The debug
 * line is written whatever was found. */
void get_Primary_dns(int ignored, uint32_t *out) {
    (void)ignored;
    char buf[kOutBufSize];
    char *cur = nullptr;
    run("chmod +x dns.sh");
    run("./dns.sh");
    read_output("./dns_1", buf);
    char *text = nullptr;
    if (first_token(buf, &cur, ' ')) text = next_token(&cur, ' ');
    if (text) text[strcspn(text, " \r\n")] = '\0';
    *out = checked_addr(text);
    DPRINTF(32, "pri_dns = 0x%08X\n", *out);
}

/* Token 3 with " "; no null test (a "(null)" does not convert and gives
 * 0). Without token 3 there is no secondary server: 0 and no debug line. */
void get_Secondary_dns(int ignored, uint32_t *out) {
    (void)ignored;
    char buf[kOutBufSize];
    char *cur = nullptr;
    run("chmod +x dns.sh");
    run("./dns.sh");
    read_output("./dns_1", buf);
    const char *text = nullptr;
    if (first_token(buf, &cur, ' ') && next_token(&cur, ' ')) text = next_token(&cur, ' ');
    if (!text) {
        *out = 0;
        return;
    }
    *out = to_host_addr(text);
    DPRINTF(32, "sec_dns = 0x%08X\n", *out);
}

void UpdateCurrentIP(void) {
    EqpConfig *e = &g_eqpConfig;
    getipaddr(&e->ip);
    getmask(&e->netmask);
    getdefaultgateway(&e->gateway);
    get_Primary_dns(1, &e->pri_dns);
    get_Secondary_dns(1, &e->sec_dns);
    DPRINTF(32, "MAC = %02X:%02X:%02X:%02X:%02X:%02X\n", e->mac[0], e->mac[1], e->mac[2], e->mac[3],
            e->mac[4], e->mac[5]);
    DPRINTF(32, "IP=%08X, MASK=%08X, GW=%08X, DNS1=%08X, DNS2=%08X\n", e->ip, e->netmask,
            e->gateway, e->pri_dns, e->sec_dns);
}

void InitSystemConfig(void) {
    InitFactoryDefault();
    UpdateCurrentIP();
}

/* Like getipaddr, but returns the address and reports on stdout. Neither
 * a "(null)" nor a missing second token converts: both give 0. */
uint32_t getipaddress(void) {
    char buf[kOutBufSize];
    char *cur = nullptr;
    run("chmod +x ipaddr.sh");
    run("./ipaddr.sh");
    read_output("./ipaddr_1", buf);
    if (!first_token(buf, &cur, ':')) {
        printf("****p:%s*****\n", "(null)");
        puts("p=NULL");
        return 0;
    }
    const char *text = next_token(&cur, ' ');
    printf("****p:%s*****\n", text ? text : "(null)");
    return to_host_addr(text);
}

}  // extern "C"
