// Posts one restart request (restart_request.h) to the respawner's queue, as
// any local account may: post_request TEXT. The text goes as it is, so a
// test can post malformed requests too.
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cstdio>
#include <cstring>

#include "restart_request.h"

int main(int argc, char **argv) {
    struct {
        long mtype;
        char mtext[64];
    } msg = {respawn::kRequestType, ""};
    static_assert(sizeof msg.mtext > respawn::kMaxText, "request text");
    if (argc != 2 || strlen(argv[1]) > respawn::kMaxText) {
        fprintf(stderr, "usage: post_request TEXT (at most %zu bytes)\n", respawn::kMaxText);
        return 2;
    }
    const key_t key = ftok(respawn::kKeyPath, respawn::kProjectId);
    const int q = key == -1 ? -1 : msgget(key, 0);
    if (q < 0) {
        perror("post_request: no queue");
        return 1;
    }
    memcpy(msg.mtext, argv[1], strlen(argv[1]));
    if (msgsnd(q, &msg, strlen(argv[1]), IPC_NOWAIT) != 0) {
        perror("post_request: msgsnd");
        return 1;
    }
    return 0;
}
