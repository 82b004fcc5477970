// termsim journal: the terminal's journal, for people or as JSON lines.
#include "platform/host/Journal.h"
#include "platform/host/Text.h"
#include "terminal/termsim/Commands.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>

namespace termsim {

namespace {

using Event = host::JournalEvent;

void PrintJsonLine(const Event& e) {
  std::string line = "{\"seq\":" + std::to_string(e.seq) + ",\"time_ms\":" + std::to_string(e.timeMs) +
                     ",\"pid\":" + std::to_string(e.pid) + ",\"event\":" + host::JsonString(host::FromUtf8(e.event));
  // The fields' members join the line's own.
  const std::string fields = e.FieldsJson();
  if (!e.fields.empty()) line += "," + fields.substr(1, fields.size() - 2);
  line += "}\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
}

// A text for people: its JSON escapes kept (a line break shows as \n, a quote as \"),
// except that the backslashes of CE paths show once; --json gives the exact text.
std::string ShownText(std::u16string_view text) {
  const std::string json = host::JsonString(text);
  std::string shown;
  for (size_t i = 1; i + 1 < json.size(); ++i) {
    shown += json[i];
    if (json[i] == '\\' && json[i + 1] == '\\') ++i;
  }
  return shown;
}

// The fields as name=value, one space apart.
std::string ReadableFields(const Event& e) {
  std::string out;
  for (const auto& field : e.fields) {
    if (!out.empty()) out += ' ';
    out += ShownText(host::FromUtf8(field.name)) + '=';
    if (const auto* number = std::get_if<int64_t>(&field.value)) {
      out += std::to_string(*number);
    } else {
      out += '"' + ShownText(std::get<std::u16string>(field.value)) + '"';
    }
  }
  return out;
}

void PrintReadableLine(const Event& e) {
  const std::string fields = ReadableFields(e);
  char head[96];
  std::snprintf(head, sizeof head, "%6" PRId64 " %9" PRId64 " ms  pid %-7" PRId64 " ", e.seq, e.timeMs, e.pid);
  std::string line = head + e.event;
  // Fields line up after the longest event name.
  if (!fields.empty()) line += std::string(line.size() < 50 ? 50 - line.size() : 0, ' ') + " " + fields;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
}

void PrintEvent(const Event& e, bool json) {
  if (json) {
    PrintJsonLine(e);
  } else {
    PrintReadableLine(e);
  }
}

// Run N (from 1) or the last: its own events among those of any runs that overlap it,
// from its run-start through its run-end. A run that never ended (termsim was killed)
// reaches to the end of the journal, or to the run-start of a later termsim that got
// its pid.
std::vector<Event> RunSlice(const std::string& which) {
  const std::vector<Event> events = host::JournalEventsAfter(0);
  std::vector<size_t> starts;
  for (size_t i = 0; i < events.size(); ++i)
    if (events[i].event == "run-start") starts.push_back(i);
  const int64_t number = which == "last" ? static_cast<int64_t>(starts.size()) : CountArgument("--run", which, 1);
  if (number < 1 || number > static_cast<int64_t>(starts.size()))
    throw CommandFailure("the journal holds " + std::to_string(starts.size()) + " runs, not run " + which);
  const size_t first = starts[static_cast<size_t>(number - 1)];
  const int64_t termsim = events[first].pid;
  RunEvents run(termsim);
  std::vector<Event> slice;
  for (size_t i = first; i < events.size(); ++i) {
    const Event& event = events[i];
    if (i > first && event.event == "run-start" && event.pid == termsim) break;
    if (!run.Takes(event)) continue;
    slice.push_back(event);
    if (event.event == "run-end" && event.pid == termsim) break;
  }
  return slice;
}

int Journal(const Arguments& arguments) {
  const auto run = arguments.Value("run");
  if (run && *run != "last") CountArgument("--run", *run, 1);
  AttachOrFail(arguments.Positional(0));
  const bool json = arguments.Has("json");
  if (!run) {
    PrintJournal(0, json);
    return kExitOk;
  }
  for (const auto& event : RunSlice(*run)) PrintEvent(event, json);
  std::fflush(stdout);
  return kExitOk;
}

}  // namespace

bool RunEvents::Takes(const host::JournalEvent& event) {
  const bool own = pids_.contains(event.pid);
  if (const auto child = event.event == "process-start" ? event.Int("child") : std::nullopt) {
    // A pid that another run's process starts anew names a new process, not one of ours.
    if (own) {
      pids_.insert(*child);
    } else {
      pids_.erase(*child);
    }
  }
  return own;
}

bool JournalHasEvent(int64_t afterSeq, const char* event) {
  for (const auto& e : host::JournalEventsAfter(afterSeq))
    if (e.event == event) return true;
  return false;
}

int64_t PrintJournal(int64_t afterSeq, bool json, RunEvents* run) {
  int64_t last = afterSeq;
  for (const auto& event : host::JournalEventsAfter(afterSeq)) {
    if (!run || run->Takes(event)) PrintEvent(event, json);
    last = event.seq;
  }
  std::fflush(stdout);
  return last;
}

CommandSpec JournalCommand() {
  return {
      .name = "journal",
      .positionals = "IMAGE",
      .minPositionals = 1,
      .maxPositionals = 1,
      .summary = "Prints the terminal's journal, one line per event: seq, time_ms, pid, event, fields.\n"
                 "Texts are shown in quotes with line breaks as \\n; --json gives them exactly.\n"
                 "--run N (or last) prints one run of termsim run, from its run-start through its run-end:\n"
                 "termsim's own events and those of the processes its program started, directly or not,\n"
                 "without those of other runs at the same time.",
      .options = {{"json", "", "one JSON object per line, the event's fields as top-level keys"},
                  {"run", "N|last", "only run N of termsim run (from 1, by its run-start), or the last"}},
      .run = Journal,
  };
}

}  // namespace termsim
