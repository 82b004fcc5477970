// The journal: one table that every process of the terminal appends to.
#include "platform/host/HostInternal.h"

#include <unistd.h>

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

int64_t TerminalTimeMs() {
  using namespace std::chrono;
  const int64_t now = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  return static_cast<int64_t>(static_cast<double>(now - CreatedMs()) / TimeScale());
}

void Journal(const char* event, std::initializer_list<JournalField> fields) {
  std::string json = "{";
  bool first = true;
  for (const auto& field : fields) {
    if (!first) json += ',';
    first = false;
    json += JsonString(FromUtf8(field.name));
    json += ':';
    if (const auto* number = std::get_if<int64_t>(&field.value)) {
      json += std::to_string(*number);
    } else {
      json += JsonString(std::get<std::u16string>(field.value));
    }
  }
  json += '}';
  Statement insert("INSERT INTO journal(time_ms, pid, event, fields) VALUES(?, ?, ?, ?)");
  insert.Bind(1, TerminalTimeMs()).Bind(2, static_cast<int64_t>(::getpid())).Bind(3, std::string_view(event));
  insert.Bind(4, std::string_view(json)).Run();
}

std::vector<JournalEvent> JournalEventsAfter(int64_t afterSeq, int64_t throughSeq) {
  std::vector<JournalEvent> events;
  Statement query("SELECT seq, time_ms, pid, event, fields FROM journal WHERE seq > ? AND seq <= ? ORDER BY seq");
  query.Bind(1, afterSeq).Bind(2, throughSeq);
  while (query.Step())
    events.push_back({query.Int(0), query.Int(1), query.Int(2), query.Text(3), query.Text(4)});
  return events;
}

int64_t LastJournalSeq() {
  Statement query("SELECT coalesce(max(seq), 0) FROM journal");
  return query.Step() ? query.Int(0) : 0;
}

}  // namespace host
