/*
 * emit_gwconf - the gateway configuration record and the writer of the
 * packet forwarder's global_conf.json.
 *
 * The host fills g_Gatewayconfig (through saGetGatewayconfig) and calls
 * emit_gwconf, which renders that record together with the device name and
 * the fixed network settings of the equipment record as one JSON document
 * (JsonCpp's styled layout, members in byte order of their keys).
 *
 * The file is replaced atomically: the text goes to a temporary file in the
 * target's directory, which is flushed to disk, given the permissions of the
 * file it replaces (less any write permission for group or others that the
 * umask withholds from a new file, so a world-writable file does not stay
 * so) and renamed over it; then the directory is flushed. A
 * reader (the forwarder, or a board that loses power mid-write) sees either
 * the old file or the new one, never an empty or a partial one. On any
 * failure the old file stays as it was and the temporary file is removed.
 *
 * Only the file has to be writable, not its directory: where the directory
 * refuses a new name (EACCES, EPERM: a root-owned forwarder directory with a
 * global_conf.json the host may write), the file is rewritten in place, with
 * its blocks reserved first (fallocate, size kept) so that a full disk
 * fails before the old text is touched. A full disk or quota (ENOSPC, EDQUOT) never leads to the
 * in-place rewrite: the old file must stay whole.
 */
#include "agent.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <json/json.h>

#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {

GatewayConfig g_Gatewayconfig;
ForwarderSettings gateway_config;

}  // extern "C"

namespace {

const char kConfName[] = "global_conf.json";

/* ---- reading the records ------------------------------------------------ */

/* A text member, read no further than the end of its array even when the
 * host left no NUL inside. */
template <size_t N>
std::string Text(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

/* A bool member as the host stored it: any non-zero byte is true. The host
 * may fill the record byte-wise (from a configuration block, from C), so
 * the byte is not trusted to be 0 or 1. */
bool Flag(const bool &field) {
    unsigned char byte;
    std::memcpy(&byte, &field, 1);
    return byte != 0;
}

/* A host-order IPv4 address in dotted form. */
std::string Dotted(uint32_t host_order) {
    struct in_addr addr;
    addr.s_addr = htonl(host_order);
    return std::string(inet_ntoa(addr));  // copied at once: static buffer
}

/* ---- building the tree -------------------------------------------------- */

Json::Value ForwarderObject(const ForwarderSettings &s) {
    Json::Value o(Json::objectValue);
    o["gateway_ID"] = Text(s.gateway_ID);
    o["server_address"] = Text(s.server_address);
    o["serv_port_up"] = Json::Value(static_cast<Json::Int>(s.serv_port_up));
    o["serv_port_down"] = Json::Value(static_cast<Json::Int>(s.serv_port_down));
    o["keepalive_interval"] = Json::Value(static_cast<Json::Int>(s.keepalive_interval));
    o["stat_interval"] = Json::Value(static_cast<Json::UInt>(s.stat_interval));
    o["push_timeout_ms"] = Json::Value(static_cast<Json::Int>(s.push_timeout_ms));
    o["forward_crc_valid"] = Flag(s.forward_crc_valid);
    o["forward_crc_error"] = Flag(s.forward_crc_error);
    o["forward_crc_disabled"] = Flag(s.forward_crc_disabled);
    return o;
}

Json::Value ServerIpObject(const EqpConfig &eqp) {
    Json::Value o(Json::objectValue);
    o["server_name"] = Text(eqp.server_name);
    o["networkmode"] = Json::Value(static_cast<Json::Int>(eqp.networkmode));
    o["fixed_ip"] = Dotted(eqp.fixed_ip);
    o["fixed_netmask"] = Dotted(eqp.fixed_netmask);
    o["fixed_gateway"] = Dotted(eqp.fixed_gateway);
    return o;
}

Json::Value RadioObject(const RadioConfig &r) {
    Json::Value o(Json::objectValue);
    o["enable"] = Flag(r.enable);
    o["type"] = Text(r.type);
    o["freq"] = Json::Value(static_cast<Json::UInt>(r.freq));
    o["rssi_offset"] = Json::Value(static_cast<double>(r.rssi_offset));
    o["tx_enable"] = Flag(r.tx_enable);
    return o;
}

/* The members every channel object carries. */
Json::Value ChannelObject(const ChannelConfig &c) {
    Json::Value o(Json::objectValue);
    o["enable"] = Flag(c.enable);
    o["radio"] = Json::Value(static_cast<Json::Int>(c.radio));
    o["if"] = Json::Value(static_cast<Json::Int>(c.if_freq));
    return o;
}

Json::Value LoraStdObject(const ChannelConfig &c) {
    Json::Value o = ChannelObject(c);
    o["bandwidth"] = Json::Value(static_cast<Json::UInt>(c.bandwidth));
    o["spread_factor"] = Json::Value(static_cast<Json::UInt>(c.datarate));
    return o;
}

Json::Value FskObject(const ChannelConfig &c) {
    Json::Value o = ChannelObject(c);
    o["bandwidth"] = Json::Value(static_cast<Json::UInt>(c.bandwidth));
    o["datarate"] = Json::Value(static_cast<Json::UInt>(c.datarate));
    return o;
}

Json::Value TxGainObject(const TxGainEntry &t) {
    Json::Value o(Json::objectValue);
    o["pa_gain"] = Json::Value(static_cast<Json::Int>(t.pa_gain));
    o["mix_gain"] = Json::Value(static_cast<Json::Int>(t.mix_gain));
    o["rf_power"] = Json::Value(static_cast<Json::Int>(t.rf_power));
    o["dig_gain"] = Json::Value(static_cast<Json::Int>(t.dig_gain));
    return o;
}

Json::Value ConcentratorObject(const GatewayConfig &gw) {
    Json::Value o(Json::objectValue);
    o["lorawan_public"] = Flag(gw.lorawan_public);
    o["clksrc"] = Json::Value(static_cast<Json::Int>(gw.clksrc));
    for (int i = 0; i < 2; ++i)
        o["radio_" + std::to_string(i)] = RadioObject(gw.radios[i]);
    for (int i = 0; i < 8; ++i)
        o["chan_multiSF_" + std::to_string(i)] = ChannelObject(gw.chan_multiSF[i]);
    o["chan_FSK"] = FskObject(gw.chan_FSK);
    o["chan_Lora_std"] = LoraStdObject(gw.chan_Lora_std);
    /* All sixteen entries, whatever tx_lut_count says. */
    for (int i = 0; i < 16; ++i)
        o["tx_lut_" + std::to_string(i)] = TxGainObject(gw.tx_lut[i]);
    return o;
}

std::string Render(const Json::Value &root) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Json::StyledWriter writer;
    return writer.write(root);
#pragma GCC diagnostic pop
}

/* ---- replacing the file ------------------------------------------------- */

/* Where the text goes: the file to replace and the directory that holds it.
 * A global_conf.json that is a symbolic link is followed, so the link stays
 * and the file it names is replaced. */
struct Target {
    std::string path;
    std::string dir;
};

std::string Dirname(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

Target ResolveTarget() {
    Target t{kConfName, "."};
    struct stat st;
    if (lstat(kConfName, &st) != 0 || !S_ISLNK(st.st_mode)) return t;
    if (char *real = realpath(kConfName, nullptr)) {
        t.path = real;
        free(real);
    } else {
        /* A dangling link: the file it names is created. The link lives in
         * the working directory, so a relative name is relative to it. */
        char buf[PATH_MAX];
        ssize_t n = readlink(kConfName, buf, sizeof buf - 1);
        if (n <= 0) return t;
        t.path.assign(buf, static_cast<size_t>(n));
    }
    t.dir = Dirname(t.path);
    return t;
}

bool WriteAll(int fd, const std::string &text) {
    const char *p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

/* Creates the temporary file next to the target, with the mode a newly
 * created file gets (0666 less the umask, or the directory's default ACL).
 * Returns the descriptor and its name, or -1. */
int CreateTemp(const std::string &dir, std::string *name) {
    static unsigned counter;
    for (int attempt = 0; attempt < 100; ++attempt) {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        char suffix[64];
        snprintf(suffix, sizeof suffix, "%ld.%x%lx", static_cast<long>(getpid()), ++counter,
                 static_cast<unsigned long>(ts.tv_nsec));
        *name = dir + "/" + GLOBAL_CONF_TEMP_PREFIX + suffix;
        int fd = open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

void SyncDirectory(const std::string &dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)fsync(fd);  // some file systems cannot; the rename has happened
    close(fd);
}

/* The directory refused a new name (or a rename over the target): whether
 * rewriting the file in place may be tried instead. */
bool RefusedName(int err) { return err == EACCES || err == EPERM; }

/* Rewrites the existing regular file at path with text in place. Its blocks
 * are reserved before anything is written, so a file system without room
 * fails here and the old text stays whole; a file system that cannot
 * reserve (EOPNOTSUPP) is written all the same. */
bool RewriteInPlace(const std::string &path, const std::string &text) {
    int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok && !text.empty() &&
        fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(text.size())) != 0)
        ok = errno == EOPNOTSUPP || errno == ENOSYS;
    ok = ok && lseek(fd, 0, SEEK_SET) == 0 && WriteAll(fd, text);
    ok = ok && ftruncate(fd, static_cast<off_t>(text.size())) == 0;
    ok = ok && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    return ok;
}

/* Replaces the target's content with text, or leaves it exactly as it was.
 * Returns whether the new file is in place. */
bool ReplaceFile(const std::string &text) {
    const Target target = ResolveTarget();

    /* A target this process may not write keeps its content, even though
     * the directory would let a rename replace it. */
    struct stat old;
    const bool had_old = stat(target.path.c_str(), &old) == 0;
    if (had_old) {
        int probe = open(target.path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (probe < 0) return false;
        close(probe);
        if (!S_ISREG(old.st_mode)) return false;
    }

    std::string temp;
    int fd = CreateTemp(target.dir, &temp);
    if (fd < 0) return had_old && RefusedName(errno) && RewriteInPlace(target.path, text);

    bool ok = true;
    if (had_old) {
        if (fchown(fd, old.st_uid, old.st_gid) != 0) {
            /* Not ours to give away: the file keeps our ownership. */
        }
        /* The temporary file was created with the mode a new file gets;
         * the write bits for group and others that it lacks are taken from
         * the old mode too. */
        struct stat created {};
        ok = fstat(fd, &created) == 0;
        const mode_t withheld = 0022 & ~created.st_mode;
        ok = ok && fchmod(fd, old.st_mode & 07777 & ~withheld) == 0;
    }
    ok = ok && WriteAll(fd, text);
    ok = ok && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    if (!ok) {
        unlink(temp.c_str());
        return false;
    }
    if (rename(temp.c_str(), target.path.c_str()) != 0) {
        /* A sticky directory lets us create names but not replace another
         * owner's file. */
        const int err = errno;
        unlink(temp.c_str());
        return had_old && RefusedName(err) && RewriteInPlace(target.path, text);
    }
    SyncDirectory(target.dir);
    return true;
}

}  // namespace

extern "C" {

GatewayConfig *saGetGatewayconfig(void) { return &g_Gatewayconfig; }

void emit_gwconf(GatewayConfig *gw, EqpConfig *eqp) {
    Json::Value root(Json::objectValue);
    root["gateway_conf"] = ForwarderObject(gw->gateway_conf);

    const std::string name = Text(eqp->server_name);
    printf("**************server_name:%s******************\n", name.c_str());
    printf("**************server_fix_ip:%x******************\n", eqp->fixed_ip);

    root["serverIP_conf"] = ServerIpObject(*eqp);
    root["SX1301_conf"] = ConcentratorObject(*gw);

    /* Nothing is reported: the caller learns nothing either way, and a
     * failed call leaves the previous file in place. */
    (void)ReplaceFile(Render(root));
}

}  // extern "C"
