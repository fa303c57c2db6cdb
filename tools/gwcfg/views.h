// views.h - what gwcfg prints for people and scripts (private to the gwcfg
// target): tables, the configuration page of `show`, key lines, changes and
// the summary of a fleet operation.
#pragma once

#include <json/value.h>

#include <ostream>
#include <string>
#include <vector>

#include "fleet.h"

namespace gwcfg {

// Rows of cells, columns aligned two blanks apart; the last cell of a row is
// not padded and no line ends in blanks.
void print_table(std::ostream &out, const std::vector<std::vector<std::string>> &rows);

std::string or_dash(const std::string &s);
std::string text_of(const char *array, size_t size);  // up to the NUL
std::string device_name(const gwblock::BlockContents &c);

// The page `gwcfg show` prints: identity and network, the server settings,
// the radios and the channels with absolute frequencies in MHz, the TX power
// table.
void print_page(std::ostream &out, const Reply &r);

// "# gateway MAC at ADDR:PORT, revision N" and every key as KEY=VALUE.
void print_keys(std::ostream &out, const Reply &r);

// The value of a key in to_json()'s tree, by its dotted path.
const Json::Value &json_at(const Json::Value &tree, const std::string &path);

// "867.5" for 867500000 Hz: MHz with at least one and at most six decimals.
std::string format_mhz(int64_t hz);

// One key changed on one gateway: the values as show writes them
// (frequencies in MHz or kHz), and as JSON (numbers as numbers).
struct Change {
    std::string key, before, after;
    Json::Value before_json, after_json;
};
std::vector<Change> changes_between(const gwblock::BlockContents &before,
                                    const gwblock::BlockContents &after);
void print_changes(std::ostream &out, const std::vector<Change> &changes,
                   const std::string &indent = "  ");

// How one gateway fared in a fleet operation.
struct Outcome {
    Mac mac{};
    bool found = false;  // answered discovery
    sockaddr_in from{};
    std::string name;  // its device name
    bool ok = false;
    bool refused = false;  // refused here before anything was sent (exit 2 alone)
    std::string result;    // "changed", "unchanged", "saved", "sent", "failed", ...
    bool has_before = false, has_after = false;
    uint32_t before = 0, after = 0;  // revisions
    std::vector<Change> changes;
    std::string detail;   // why, in a few words, for the table
    std::string message;  // one target: what is printed (out when ok, err when not)
    std::string path;     // a file written
    // The gateway's state of the change, once it said ("watching",
    // "confirmed", "rolled back", "failed"); empty when it said nothing.
    std::string state;
    uint32_t change_revision = 0;  // the revision that state is about
};

// "confirmed (revision 8)", "rolled back (revision 8: the forwarder exited
// 3 s after starting)", "watching (revision 8, 41 s left)"; "" for a
// gateway whose last change was not watched.
std::string change_summary(const gwblock::ChangeStatus &c);

// The end of a fleet operation. One gateway named by its MAC address: its
// message (and changes). Several, or --all: the changes grouped by identical
// lists, then a table (MAC, device name, result, revision, detail) and a
// count. json: one array of objects instead.
void print_outcomes(std::ostream &out, std::ostream &err, const std::string &label,
                    const std::vector<Outcome> &outcomes, bool one_target, bool json);

// 0 when every gateway succeeded; 2 when every failure was input refused
// before anything was sent; 1 otherwise.
int exit_status(const std::vector<Outcome> &outcomes);

}  // namespace gwcfg
