// agent_dprintf.h - the debug print of the agent modules that log to
// standard error (setup, eqp_store). Each module that includes this header
// gets its own private copy: no symbol is exported, and each module stays one
// source file. Internal to the agent: not installed.
#ifndef GWAGENT_AGENT_DPRINTF_H
#define GWAGENT_AGENT_DPRINTF_H

#include <cstdarg>
#include <cstdio>

namespace {

// Level 0 suppresses the line; every other level prints it (a switch, not a
// threshold). The text is formatted into 1024 bytes, so a longer one is cut
// at 1023 characters, and written with "%s\n" to stderr. Returns what the
// final write reports, 0 when suppressed.
__attribute__((format(printf, 2, 3))) inline int DPRINTF(int level, const char *format, ...) {
    if (level == 0) return 0;
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    const int n = vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    if (n < 0) buf[0] = '\0';
    return fprintf(stderr, "%s\n", buf);
}

}  // namespace

#endif  // GWAGENT_AGENT_DPRINTF_H
