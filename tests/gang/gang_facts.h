// What the gang's tests read: the record's lines (parsed as JSON), and from
// flasher-vdev's JSON account, what a board (or one plug-in of it) took.
// The account is the device's own decoding of the wire; nothing here uses
// the gang's code.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace gang_facts
{

using json = nlohmann::json;

// Every line of a record file, parsed; a line that does not parse, or a
// last line without its newline, fails the test.
std::vector<json> record_lines(const std::string &path);

// The lines of the record's last run only (the "run" of its last line):
// the record may hold an earlier run's too.
std::vector<json> last_run_lines(const std::string &path);

// The account's objects that each stand for one plug-in: a device that
// arrives or leaves gives one per plug-in (that arrived), any other device
// one for itself. Each gets "usb_path" (and "plug_in", 1 for a device
// without plug-ins) copied in.
std::vector<json> plug_ins(const json &account);

// True when the plug-in took every message of the image whole, as its
// check says: intact, or differing only in the zero bytes (transfers 1
// and 2), whose results flasher does not judge.
bool took_whole_image(const json &plug);

// What became of each zero byte that reached it, in order.
std::vector<bool> zero_bytes_taken(const json &plug);

// How many erase messages it received.
std::size_t erases(const json &plug);

// The line of `lines` for this usb path and plug-in (0: batch, no plug-in);
// a null json when there is none, and a failure when there are several.
json line_for(const std::vector<json> &lines, const std::string &usb_path, int plug_in);

} // namespace gang_facts
