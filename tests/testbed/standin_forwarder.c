/* A stand-in for the packet forwarder basic_pkt_fwd in the test bed and the
 * daemon's tests: at start it reads ./global_conf.json as the real one does
 * and writes one record line to standard output (the journal), then runs
 * until SIGQUIT, SIGINT or SIGTERM, which it records too:
 *
 *   basic_pkt_fwd stand-in: started pid=P uid=U groups=G,... start=TICKS server_address=S
 *   basic_pkt_fwd stand-in: stopped pid=P signal=N
 *
 * TICKS is the start time of /proc/self/stat (clock ticks after boot).
 *
 * A server_address that contains "crash" stands for a configuration the
 * real forwarder cannot run with (a server that does not resolve, a radio
 * plan the HAL refuses): the stand-in exits with status 1 at start, or,
 * when the address also contains "late", after one second.
 *
 *   basic_pkt_fwd stand-in: exiting pid=P: cannot run with server_address=S */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static volatile sig_atomic_t stop_signal;

static void on_signal(int sig) { stop_signal = sig; }

static unsigned long long start_ticks(void) {
    char buf[1024];
    FILE *f = fopen("/proc/self/stat", "r");
    if (!f) return 0;
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    const char *p = strrchr(buf, ')');
    for (int field = 2; p && field < 22; ++field)
        p = strchr(p + 1, ' ');
    return p ? strtoull(p + 1, NULL, 10) : 0;
}

/* The value of "server_address" in the file, or "?" */
static void server_address(char *out, size_t size) {
    static char text[65536];
    snprintf(out, size, "?");
    FILE *f = fopen("global_conf.json", "r");
    if (!f) return;
    size_t n = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    text[n] = '\0';
    const char *p = strstr(text, "\"server_address\"");
    if (!p || !(p = strchr(p + 16, '"'))) return;
    const char *end = strchr(++p, '"');
    if (!end) return;
    snprintf(out, size, "%.*s", (int)(end - p), p);
}

int main(void) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGQUIT, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);

    char server[256];
    server_address(server, sizeof server);
    gid_t groups[64];
    int ngroups = getgroups(64, groups);
    char glist[512] = "";
    for (int i = 0; i < ngroups; ++i)
        snprintf(glist + strlen(glist), sizeof glist - strlen(glist), "%s%u", i ? "," : "",
                 (unsigned)groups[i]);
    printf("basic_pkt_fwd stand-in: started pid=%d uid=%u groups=%s start=%llu server_address=%s\n",
           (int)getpid(), (unsigned)getuid(), glist, start_ticks(), server);
    fflush(stdout);
    if (strstr(server, "crash")) {
        if (strstr(server, "late")) sleep(1);
        printf("basic_pkt_fwd stand-in: exiting pid=%d: cannot run with server_address=%s\n",
               (int)getpid(), server);
        fflush(stdout);
        return 1;
    }
    while (!stop_signal)
        pause();
    printf("basic_pkt_fwd stand-in: stopped pid=%d signal=%d\n", (int)getpid(), (int)stop_signal);
    fflush(stdout);
    return 0;
}
