// The journal: one table that every process of the terminal appends to.
#include "platform/host/HostInternal.h"

#include <unistd.h>

#include <charconv>
#include <chrono>

namespace host {

void CreateJournalTables(sqlite3* db) {
  Exec(db, R"sql(
CREATE TABLE journal(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  time_ms INTEGER NOT NULL,
  pid INTEGER NOT NULL,
  event TEXT NOT NULL,
  fields TEXT NOT NULL);
)sql");
}

namespace {

void AppendMember(std::string& json, std::string_view name, const JournalValue& value) {
  if (json.size() > 1) json += ',';
  json += JsonString(FromUtf8(name));
  json += ':';
  if (const auto* number = std::get_if<int64_t>(&value)) {
    json += std::to_string(*number);
  } else {
    json += JsonString(std::get<std::u16string>(value));
  }
}

// The code unit of the four hex digits at json[i]; nullopt when they are not four.
std::optional<char16_t> ReadHexUnit(std::string_view json, size_t i) {
  if (i + 4 > json.size()) return std::nullopt;
  uint16_t unit = 0;
  const char* end = json.data() + i + 4;
  const auto read = std::from_chars(json.data() + i, end, unit, 16);
  if (read.ec != std::errc() || read.ptr != end) return std::nullopt;
  return static_cast<char16_t>(unit);
}

// The JSON text whose opening quote is json[i], as JsonString writes it; `i` moves past
// its closing quote. Nullopt when it is not one.
std::optional<std::u16string> ReadText(std::string_view json, size_t& i) {
  if (i >= json.size() || json[i] != '"') return std::nullopt;
  std::u16string text;
  for (++i; i < json.size();) {
    const size_t run = json.find_first_of("\"\\", i);
    if (run == std::string_view::npos) return std::nullopt;
    text += FromUtf8(json.substr(i, run - i));
    i = run + 1;
    if (json[run] == '"') return text;
    if (i >= json.size()) return std::nullopt;
    const char escaped = json[i++];
    switch (escaped) {
      case 'n': text += u'\n'; break;
      case 'r': text += u'\r'; break;
      case 't': text += u'\t'; break;
      case 'b': text += u'\b'; break;
      case 'f': text += u'\f'; break;
      case '"': case '\\': case '/': text += static_cast<char16_t>(escaped); break;
      case 'u': {
        const auto unit = ReadHexUnit(json, i);
        if (!unit) return std::nullopt;
        text += *unit;
        i += 4;
        break;
      }
      default: return std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<int64_t> ReadNumber(std::string_view json, size_t& i) {
  const size_t end = json.find_first_of(",}", i);
  if (end == std::string_view::npos || end == i) return std::nullopt;
  const std::string digits(json.substr(i, end - i));
  size_t used = 0;
  int64_t number = 0;
  try {
    number = std::stoll(digits, &used);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (used != digits.size()) return std::nullopt;
  i = end;
  return number;
}

// The flat object of texts and whole numbers that Journal stores; nullopt for anything else.
std::optional<std::vector<JournalEvent::Field>> ReadFields(std::string_view json) {
  std::vector<JournalEvent::Field> fields;
  if (json.size() < 2 || json.front() != '{' || json.back() != '}') return std::nullopt;
  size_t i = 1;
  while (i + 1 < json.size()) {
    if (!fields.empty() && json[i++] != ',') return std::nullopt;
    const auto name = ReadText(json, i);
    if (!name || i >= json.size() || json[i++] != ':') return std::nullopt;
    JournalValue value;
    if (auto text = json[i] == '"' ? ReadText(json, i) : std::nullopt) {
      value = std::move(*text);
    } else if (auto number = json[i] != '"' ? ReadNumber(json, i) : std::nullopt) {
      value = *number;
    } else {
      return std::nullopt;
    }
    fields.push_back({ToUtf8(*name), std::move(value)});
  }
  return i + 1 == json.size() ? std::optional(std::move(fields)) : std::nullopt;
}

std::vector<JournalEvent::Field> FieldsOf(const std::string& stored) {
  if (auto fields = ReadFields(stored)) return std::move(*fields);
  return {{"fields", FromUtf8(stored)}};
}

}  // namespace

int64_t TerminalTimeMs() {
  using namespace std::chrono;
  const int64_t now = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  return static_cast<int64_t>(static_cast<double>(now - CreatedMs()) / TimeScale());
}

namespace {

struct JournalRow {
  int64_t timeMs;
  int64_t pid;
  std::string event;
  std::string fields;
};

JournalRow RowOf(const char* event, std::initializer_list<JournalField> fields) {
  std::string json = "{";
  for (const auto& field : fields) AppendMember(json, field.name, field.value);
  json += '}';
  return {TerminalTimeMs(), static_cast<int64_t>(::getpid()), event, std::move(json)};
}

void Append(const JournalRow& row) {
  Statement insert("INSERT INTO journal(time_ms, pid, event, fields) VALUES(?, ?, ?, ?)");
  insert.Bind(1, row.timeMs).Bind(2, row.pid).Bind(3, std::string_view(row.event));
  insert.Bind(4, std::string_view(row.fields)).Run();
}

}  // namespace

void Journal(const char* event, std::initializer_list<JournalField> fields) { Append(RowOf(event, fields)); }

void JournalLasting(const char* event, std::initializer_list<JournalField> fields) {
  WriteLasting([row = RowOf(event, fields)] { Append(row); });
}

const JournalValue* JournalEvent::Find(std::string_view name) const {
  for (const auto& field : fields)
    if (field.name == name) return &field.value;
  return nullptr;
}

std::optional<int64_t> JournalEvent::Int(std::string_view name) const {
  const auto* value = Find(name);
  if (value == nullptr || !std::holds_alternative<int64_t>(*value)) return std::nullopt;
  return std::get<int64_t>(*value);
}

std::u16string JournalEvent::Text(std::string_view name) const {
  const auto* value = Find(name);
  if (value == nullptr || !std::holds_alternative<std::u16string>(*value)) return u"";
  return std::get<std::u16string>(*value);
}

std::string JournalEvent::FieldsJson() const {
  std::string json = "{";
  for (const auto& field : fields) AppendMember(json, field.name, field.value);
  return json + '}';
}

std::vector<JournalEvent> JournalEventsAfter(int64_t afterSeq) {
  std::vector<JournalEvent> events;
  Statement query("SELECT seq, time_ms, pid, event, fields FROM journal WHERE seq > ? ORDER BY seq");
  query.Bind(1, afterSeq);
  while (query.Step())
    events.push_back({query.Int(0), query.Int(1), query.Int(2), query.Text(3), FieldsOf(query.Text(4))});
  return events;
}

int64_t LastJournalSeq() {
  Statement query("SELECT coalesce(max(seq), 0) FROM journal");
  return query.Step() ? query.Int(0) : 0;
}

}  // namespace host
