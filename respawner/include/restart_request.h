// restart_request.h - the restart request: the one message that asks the
// respawner to restart the packet forwarder.
//
// A request is one System V message of type kRequestType on the queue that
// ftok(kKeyPath, kProjectId) keys, opened with msgget(key, kQueueFlags). Its
// text is at most kMaxText bytes of ASCII, no NUL needed: a mode text
// without a colon, a colon, and the decimal id of the process to stop
// ("fix_ip mode:1234"). The mode names the sender's request mode; the
// respawner prints it and runs the same sequence for every mode.
//
// Senders (gwcfgd, scripts) write requests with FormatRequest(); the
// respawner reads them with ParseRequest(). Both open the queue with
// OpenQueue(). Whatever FormatRequest() writes,
// ParseRequest() reads back to the same mode and pid.
#ifndef GWAGENT_RESTART_REQUEST_H
#define GWAGENT_RESTART_REQUEST_H

#include <sys/ipc.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace respawn {

constexpr const char *kKeyPath = "/home/pi/fifo";
constexpr int kProjectId = 1;
// Mode 0620: the owner (the gateway's account, which runs the respawner and
// gwcfgd) reads and writes, its group may post, other accounts can do
// neither: no stranger can post, stop a forwarder or fill the queue.
constexpr int kQueueMode = 0620;
constexpr int kQueueFlags = IPC_CREAT | kQueueMode;
constexpr long kRequestType = 1;
constexpr std::size_t kMaxText = 50;  // longest request text accepted

// A request text split into its mode text and the process to stop.
struct Request {
    std::string mode;
    pid_t pid = 0;
};

// Writes "<mode>:<pid>" and a NUL into out (size bytes) and returns the
// text's length (the NUL not counted: what msgsnd sends). Returns -1, with
// out unspecified, when mode holds a colon, pid is not positive, or the text
// would not fit out or be longer than kMaxText.
int FormatRequest(const char *mode, pid_t pid, char *out, std::size_t size);

// The queue id: ftok + msgget(key, kQueueFlags), for the respawner and
// every sender. The queue must belong to this process's account (one that
// another account created first, perhaps 0666, is refused: it would hand
// the requests to a stranger); an older queue of the account with another
// mode is set to kQueueMode. -1 with errno (EPERM for a stranger's queue)
// and *error (when not null) saying what to do.
int OpenQueue(std::string *error);

enum class ParseStatus { Ok, NoColon, BadPid };

// Splits "<mode>:<pid>[:...]" at the first colon. The process id is the text
// after it up to the next colon or the end: a positive decimal number that
// fits a pid_t, with blanks (white space, a line feed included) allowed
// before and after the digits and one '+' before them, as atoi reads what a
// sender may write ("fix_ip mode:1234\n" from echo). Anything else (no
// digits, a minus sign, 0, other characters, too large) is BadPid, with
// *bad_token (when not null) holding the rejected id text. *out is filled
// only for Ok.
ParseStatus ParseRequest(const std::string &text, Request *out, std::string *bad_token);

}  // namespace respawn

#endif  // GWAGENT_RESTART_REQUEST_H
