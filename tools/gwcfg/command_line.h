// command_line.h - gwcfg's command table and what parsing it yields
// (private to the gwcfg target).
//
// Each verb is one row of kVerbs (verbs.cpp): its name, its arguments, the
// options it takes, its help text and its handler. The parser, the usage
// errors, `gwcfg --help`, `gwcfg VERB --help` and the shell completion all
// read the table; dispatch calls the row's handler, so a verb cannot run
// another verb's code.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "fleet.h"

namespace gwcfg {

// Options, one bit each, in the order help lists them.
enum Option : uint32_t {
    kOptAll = 1u << 0,
    kOptExpect = 1u << 1,
    kOptTo = 1u << 2,
    kOptPort = 1u << 3,
    kOptTimeout = 1u << 4,
    kOptRetries = 1u << 5,
    kOptJson = 1u << 6,
    kOptKeys = 1u << 7,
    kOptOnly = 1u << 8,
    kOptDryRun = 1u << 9,
    kOptForce = 1u << 10,
    kOptNoWait = 1u << 11,
    kOptHelp = 1u << 12,
    kOptCapture = 1u << 13,
    kOptVerbose = 1u << 14,
    kOptListen = 1u << 15,
    kOptPasswordFile = 1u << 16,
    kOptTlsCert = 1u << 17,
    kOptTlsKey = 1u << 18,
    kOptFleetFile = 1u << 19,
};

// The options of every verb that speaks to gateways.
constexpr uint32_t kNetworkOptions = kOptTo | kOptPort | kOptTimeout | kOptRetries | kOptCapture |
                                     kOptVerbose;

struct OptionRow {
    Option id;
    const char *name;   // "--to"
    const char *value;  // "ADDR[:PORT]"; nullptr for a flag
    bool repeatable;    // given more than once, the values add up
    const char *help;   // one line or more, without the name
};

const std::vector<OptionRow> &option_table();

// What a verb takes before its other arguments.
enum class Targets {
    None,   // no gateways (help)
    Fleet,  // one or more MAC addresses, or --all
    Pair,   // two things to compare: each a MAC address or a file (diff)
};

struct Invocation;
struct Io {
    std::ostream &out;
    std::ostream &err;
    bool progress;  // err is a terminal: draw a progress line
};
using Handler = int (*)(const Invocation &, Io &);

struct VerbRow {
    const char *name;
    Targets targets;
    const char *rest;  // the other arguments, as usage writes them ("KEY=VALUE...")
    size_t min_rest, max_rest;
    uint32_t options;         // beyond --help
    const char *summary;      // one line for gwcfg --help
    const char *description;  // gwcfg VERB --help
    Handler handler;
    bool hidden;  // not listed (the completion helper)
};

const std::vector<VerbRow> &verb_table();
const VerbRow *find_verb(const std::string &name);

// A parsed command line.
struct Invocation {
    const VerbRow *verb = nullptr;
    bool help = false;
    bool version = false;      // --version: printed already
    std::vector<Mac> targets;  // Targets::Fleet, unless all
    bool all = false;
    std::vector<std::string> rest;  // the arguments after the targets (for Pair: both)
    Reach reach;
    size_t expect = 0;
    bool json = false, keys = false, dry_run = false, force = false, no_wait = false;
    std::vector<std::string> only;
    uint32_t given = 0;                    // options given, one bit each
    std::map<Option, std::string> values;  // the values of the options a verb reads itself
};

// Parses args (without the program name). Returns kExitOk with *inv filled,
// or kExitUsage after writing the error and what to do to err. `gwcfg`,
// `gwcfg --help` and `gwcfg --version` leave inv->verb null.
int parse_command_line(const std::vector<std::string> &args, Invocation *inv, Io &io);

// The candidate a mistyped word most likely meant: the closest by edit
// distance (letters inserted, deleted, changed or two swapped), when it is
// close enough (at most a third of the word's letters, at least one) and no
// other candidate is as close. Empty otherwise.
std::string closest_word(const std::string &word, const std::vector<std::string> &candidates);

// " Did you mean X?" for closest_word(), or "".
std::string did_you_mean(const std::string &word, const std::vector<std::string> &candidates);

// Help texts, generated from the table.
void print_main_help(std::ostream &out);
void print_verb_help(const VerbRow &verb, std::ostream &out);

// Candidates for the word being completed, one per line: what the bash
// completion (gwcfg.bash-completion) asks through the hidden verb
// "__complete". words: the command line so far, the last one being
// completed. Prints ":files" to ask for file names, ":dirs" for directories.
void print_completions(const std::vector<std::string> &words, std::ostream &out);

}  // namespace gwcfg
