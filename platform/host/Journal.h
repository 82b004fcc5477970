// The terminal's journal: one event a row, stamped with the writing process and the
// terminal's time, as `termsim run` and `termsim journal` show it. Failures of the
// image database throw HostError.
#ifndef KORVA_PLATFORM_HOST_JOURNAL_H
#define KORVA_PLATFORM_HOST_JOURNAL_H

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace host {

using JournalValue = std::variant<int64_t, std::u16string>;
struct JournalField {
  const char* name;
  JournalValue value;
};
// Appends one event, stamped with this process's pid and the terminal's time.
void Journal(const char* event, std::initializer_list<JournalField> fields);

// One stored event, as `termsim journal` shows it, its fields read back once.
struct JournalEvent {
  struct Field {
    std::string name;
    JournalValue value;
  };
  int64_t seq = 0;
  int64_t timeMs = 0;
  int64_t pid = 0;
  std::string event;
  // In the writer's order. A stored object that cannot be read (never written by the
  // terminal) comes back whole as the one text field "fields".
  std::vector<Field> fields;

  const JournalValue* Find(std::string_view name) const;    // null when absent
  std::optional<int64_t> Int(std::string_view name) const;  // nullopt when absent or a text
  std::u16string Text(std::string_view name) const;         // "" when absent or a number
  // The fields as the JSON object the journal stores: exact code units, lone
  // surrogates as \u escapes.
  std::string FieldsJson() const;
};
// The events after `afterSeq`, in order.
std::vector<JournalEvent> JournalEventsAfter(int64_t afterSeq);
// The newest event's seq; 0 for an empty journal.
int64_t LastJournalSeq();

}  // namespace host

#endif  // KORVA_PLATFORM_HOST_JOURNAL_H
