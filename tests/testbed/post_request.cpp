/* Posts one restart request (message type 1) to the queue keyed by
 * ftok("/home/pi/fifo", 1), as any local account may: post_request TEXT. */
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>

int main(int argc, char **argv) {
    struct {
        long mtype;
        char mtext[64];
    } msg = {1, ""};
    if (argc != 2 || strlen(argv[1]) > 50) {
        fprintf(stderr, "usage: post_request TEXT (at most 50 bytes)\n");
        return 2;
    }
    key_t key = ftok("/home/pi/fifo", 1);
    int q = key == -1 ? -1 : msgget(key, 0);
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
