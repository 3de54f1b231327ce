// The SQLite backend: one sqlite3 connection per Connection, in WAL mode
// with a busy timeout so that threads and processes share one file, and a
// cache of prepared statements keyed by the parameterized text.
//
// A connection is opened without SQLITE_OPEN_CREATE: a missing file is an
// open failure and no file is created. Each Connection is used by one
// thread at a time (SQLITE_OPEN_NOMUTEX).
//
// A database file replaced, renamed or removed under open connections
// (a restore from a backup, a file moved aside) supersedes them: they
// would go on working on the old file, which nobody reads again. Worse,
// they keep the old database's -wal and -shm files beside the path, and a
// connection opened on the file now there would take them for its own and
// replay the old database's pages into it. So a superseded connection is
// dead; before it closes it copies what its WAL holds into the old file
// (SQLite itself does not checkpoint a moved file on close), and the old
// -wal and -shm go from beside the path once nothing of this process
// needs them there: when the last connection on the old file closes, or
// when a connection is about to open on the new one.

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "db/backend.h"
#include "db/deadline.h"
#include "db/statement_cache.h"
#include "util/text.h"

namespace zelvar::db {
namespace {

// A lock wait outside any request ends after this; inside one, at the
// request's deadline.
constexpr auto kBusyTimeout = std::chrono::seconds(5);
// The deadline is looked at every this many virtual machine steps of a
// statement.
constexpr int kProgressSteps = 10000;

struct SqliteCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// The type code of a declared column type, as ADO would report the
// corresponding server type.
int TypeOfDeclaration(const char* declared) {
  if (declared == nullptr) return kAdEmpty;
  std::string name;
  for (const char* p = declared; *p != '\0' && *p != '('; ++p) {
    char c = *p;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != ' ' || !name.empty()) name.push_back(c);
  }
  while (!name.empty() && name.back() == ' ') name.pop_back();
  if (name == "NVARCHAR" || name == "NATIONAL VARCHAR" || name == "NATIONAL CHARACTER VARYING" ||
      name == "NCHAR VARYING") {
    return kAdVarWChar;
  }
  if (name == "VARCHAR" || name == "CHARACTER VARYING" || name == "VARYING CHARACTER") {
    return kAdVarChar;
  }
  if (name == "NCHAR" || name == "NATIONAL CHARACTER" || name == "NATIVE CHARACTER") {
    return kAdWChar;
  }
  if (name == "CHAR" || name == "CHARACTER") return kAdChar;
  if (name == "TEXT" || name == "CLOB") return kAdLongVarChar;
  if (name == "NTEXT") return kAdLongVarWChar;
  if (name == "INT" || name == "INTEGER" || name == "MEDIUMINT") return kAdInteger;
  if (name == "SMALLINT" || name == "TINYINT") return kAdSmallInt;
  if (name == "BIGINT" || name == "INT8") return kAdBigInt;
  if (name == "BIT" || name == "BOOLEAN" || name == "BOOL") return kAdBoolean;
  if (name == "REAL" || name == "FLOAT" || name == "DOUBLE" || name == "DOUBLE PRECISION" ||
      name == "NUMERIC" || name == "DECIMAL") {
    return kAdDouble;
  }
  if (name == "DATETIME" || name == "TIMESTAMP" || name == "DATE" || name == "SMALLDATETIME" ||
      name == "DATETIME2") {
    return kAdDBTimeStamp;
  }
  return kAdEmpty;
}

// Columns without a declared type (expressions) take the type of the first
// value that is not NULL.
int TypeOfValue(int storage_class) {
  switch (storage_class) {
    case SQLITE_INTEGER:
      return kAdInteger;
    case SQLITE_FLOAT:
      return kAdDouble;
    case SQLITE_TEXT:
      return kAdVarWChar;
    default:
      return kAdEmpty;
  }
}

// Most texts are ASCII: they widen in one pass without decoding.
std::u16string WideText(const unsigned char* text, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    if (text[i] >= 0x80) {
      return ToWide(std::string_view(reinterpret_cast<const char*>(text), bytes));
    }
  }
  return std::u16string(text, text + bytes);
}

// Date-time texts come back as YYYY-MM-DD HH:MM:SS: a "T" between date and
// time becomes a blank, and fractions or a zone after the seconds go.
std::u16string DateTimeText(const unsigned char* text, int bytes) {
  const auto digit = [&](int i) { return text[i] >= '0' && text[i] <= '9'; };
  int keep = bytes;
  if (bytes > 19 && digit(0) && digit(1) && digit(2) && digit(3) && text[4] == '-' &&
      text[7] == '-' && (text[10] == 'T' || text[10] == ' ') && text[13] == ':' &&
      text[16] == ':' && digit(17) && digit(18)) {
    keep = 19;
  }
  if (keep == 19 && text[10] == 'T' && text[4] == '-' && text[13] == ':') {
    unsigned char blank[19];
    std::memcpy(blank, text, sizeof blank);
    blank[10] = ' ';
    return WideText(blank, keep);
  }
  return WideText(text, keep);
}

// The failure of result code `code`, described by `text`.
Status FailureOf(int code, std::u16string text) {
  switch (code & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return Status::Retryable(std::move(text));
    case SQLITE_IOERR:
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_CANTOPEN:
    case SQLITE_NOMEM:
    case SQLITE_FULL:
    case SQLITE_PROTOCOL:
      return Status::Link(std::move(text));
    default:
      return Status::Statement(std::move(text));
  }
}

// Waits for a lock held by another connection in growing pauses, until the
// request's deadline (or kBusyTimeout outside a request), or sooner when a
// lock wait bound is in force. `count` is the number of earlier calls for
// the same lock.
int WaitForLock(void* started_at, int count) {
  auto* started = static_cast<Clock::time_point*>(started_at);
  const Clock::time_point now = Clock::now();
  if (count == 0) *started = now;
  Clock::time_point limit = RequestDeadline();
  if (limit == Clock::time_point::max()) limit = *started + kBusyTimeout;
  const Clock::duration bound = LockWaitBound();
  if (bound > Clock::duration::zero()) limit = std::min(limit, *started + bound);
  if (now >= limit) return 0;
  static constexpr int kPausesMs[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
  constexpr int kPauses = sizeof(kPausesMs) / sizeof(kPausesMs[0]);
  const auto pause = std::chrono::milliseconds(kPausesMs[std::min(count, kPauses - 1)]);
  std::this_thread::sleep_for(std::min<Clock::duration>(pause, limit - now));
  return 1;
}

// Interrupts a statement that outlives its request.
int StopPastDeadline(void*) { return DeadlinePassed() ? 1 : 0; }

// A file's identity; empty when there is no file.
struct FileId {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileId&) const = default;
  bool empty() const { return inode == 0; }
};

FileId IdOf(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return FileId();
  return {status.st_dev, status.st_ino};
}

// The files a connection works on: the database at `path` and the WAL and
// shared-memory files beside it, as they were when it opened.
struct DatabaseFiles {
  std::string path;
  FileId database;
  FileId wal;
  FileId shm;
};

// The files of every open connection of this process.
class OpenDatabases {
 public:
  static OpenDatabases& Instance() {
    static OpenDatabases* const open = new OpenDatabases;  // used until exit
    return *open;
  }

  void Add(const DatabaseFiles* files) {
    std::lock_guard<std::mutex> lock(mutex_);
    open_.push_back(files);
  }

  // Forgets a connection that closes; when it was the last one on its
  // database, that database's files go from beside the path if another
  // file has taken its place there.
  void Remove(const DatabaseFiles* files) {
    std::lock_guard<std::mutex> lock(mutex_);
    open_.erase(std::find(open_.begin(), open_.end(), files));
    for (const DatabaseFiles* other : open_) {
      if (other->path == files->path && other->database == files->database) return;
    }
    RemoveLeftFiles(*files);
  }

  // Before a connection opens on `path`: the -wal and -shm there that
  // belong to a database of an open connection which is no longer at the
  // path go, so that the new connection makes its own.
  void ClearLeftFiles(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const DatabaseFiles* files : open_) {
      if (files->path == path) RemoveLeftFiles(*files);
    }
  }

 private:
  // Removes the -wal and -shm of `files` from beside its path, unless its
  // database is still there. Only the very files it had are removed, and
  // all removals happen under the lock, so none takes a file that another
  // connection made since.
  static void RemoveLeftFiles(const DatabaseFiles& files) {
    if (IdOf(files.path) == files.database) return;
    for (const auto& [suffix, id] : {std::pair{"-wal", files.wal}, std::pair{"-shm", files.shm}}) {
      const std::string left = files.path + suffix;
      if (!id.empty() && IdOf(left) == id) unlink(left.c_str());
    }
  }

  std::mutex mutex_;
  std::vector<const DatabaseFiles*> open_;
};

class SqliteConnection final : public Connection {
 public:
  SqliteConnection(sqlite3* db, DatabaseFiles files) : db_(db), files_(std::move(files)) {
    sqlite3_busy_handler(db_.get(), &WaitForLock, &busy_started_);
    sqlite3_progress_handler(db_.get(), kProgressSteps, &StopPastDeadline, nullptr);
    OpenDatabases::Instance().Add(&files_);
  }

  ~SqliteConnection() override {
    if (Superseded()) {
      // The old file, wherever it went, gets what only its WAL holds. A
      // passive checkpoint never waits and writes only to that file.
      sqlite3_wal_checkpoint_v2(db_.get(), "main", SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    }
    OpenDatabases::Instance().Remove(&files_);
  }

  Status Run(const Sql& sql, ResultSet* rows) override;
  Status Begin() override { return Plain("BEGIN IMMEDIATE"); }
  // A failed COMMIT leaves the transaction open; the caller rolls back.
  Status Commit() override { return Plain("COMMIT"); }
  Status Rollback() override;
  bool IsAlive() override { return !broken_ && !Superseded(); }
  bool Superseded() override {
    int moved = 0;
    return sqlite3_file_control(db_.get(), "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK &&
           moved != 0;
  }
  int64_t Changes() const override { return changes_; }
  SqlFamily Family() const override { return SqlFamily::kSqlite; }
  std::string ProductName() override { return "SQLite"; }
  std::string DriverName() override { return std::string("SQLite ") + sqlite3_libversion(); }

 private:
  struct CachedStatement {
    StatementPtr statement;
    std::vector<std::string> column_names;
    std::vector<int> declared_types;
  };

  // The cached statement for `text`, prepared now when it is not cached.
  Status Prepare(const std::string& text, CachedStatement** cached);
  Status Bind(sqlite3_stmt* statement, const Sql& sql, std::vector<std::string>* texts);
  Status Plain(const char* text);
  // The failure of `code` with the connection's message; a link failure
  // marks the connection broken for good.
  Status Fail(int code);
  // Appends the statement's current row to `rows`; a column without a
  // declared type takes the type of its first value that is not NULL.
  void ReadRow(sqlite3_stmt* statement, const CachedStatement& cached, ResultSet* rows);

  std::unique_ptr<sqlite3, SqliteCloser> db_;
  DatabaseFiles files_;
  bool broken_ = false;
  int64_t changes_ = 0;
  Clock::time_point busy_started_;
  StatementCache<CachedStatement> cache_;
};

Status SqliteConnection::Fail(int code) {
  const char* message = sqlite3_errmsg(db_.get());
  Status status = FailureOf(code, ToWide(message != nullptr ? message : sqlite3_errstr(code)));
  if (status.IsLink()) broken_ = true;
  return status;
}

Status SqliteConnection::Prepare(const std::string& text, CachedStatement** cached) {
  *cached = cache_.Find(text);
  if (*cached != nullptr) return Status::OK();
  sqlite3_stmt* raw = nullptr;
  const char* tail = nullptr;
  int rc = sqlite3_prepare_v3(db_.get(), text.c_str(), static_cast<int>(text.size() + 1),
                              SQLITE_PREPARE_PERSISTENT, &raw, &tail);
  StatementPtr statement(raw);
  if (rc != SQLITE_OK) return Fail(rc);
  if (!statement) return Status::Statement(u"the statement text holds no statement");
  // One call runs one statement: text after it would silently not run.
  for (; tail != nullptr && *tail != '\0'; ++tail) {
    if (*tail != ' ' && *tail != ';' && *tail != '\n' && *tail != '\r' && *tail != '\t') {
      return Status::Statement(u"the statement text holds more than one statement");
    }
  }
  CachedStatement entry;
  const int columns = sqlite3_column_count(statement.get());
  for (int i = 0; i < columns; ++i) {
    const char* name = sqlite3_column_name(statement.get(), i);
    entry.column_names.emplace_back(name != nullptr ? name : "");
    entry.declared_types.push_back(TypeOfDeclaration(sqlite3_column_decltype(statement.get(), i)));
  }
  entry.statement = std::move(statement);
  *cached = cache_.Insert(text, std::move(entry));
  return Status::OK();
}

Status SqliteConnection::Bind(sqlite3_stmt* statement, const Sql& sql,
                              std::vector<std::string>* texts) {
  const std::vector<SqlValue>& values = sql.values();
  if (sqlite3_bind_parameter_count(statement) != static_cast<int>(values.size())) {
    return Status::Statement(u"the statement's places and values do not match");
  }
  // The narrow texts live until the statement has run (bound as static),
  // so `texts` must not reallocate while values are bound.
  size_t text_count = 0;
  for (const SqlValue& value : values) text_count += value.kind() == SqlValue::Kind::kText;
  if (text_count > 0) texts->reserve(text_count);
  for (size_t i = 0; i < values.size(); ++i) {
    const int index = static_cast<int>(i + 1);
    const SqlValue& value = values[i];
    int rc = SQLITE_OK;
    switch (value.kind()) {
      case SqlValue::Kind::kInteger:
        rc = sqlite3_bind_int64(statement, index, value.integer());
        break;
      case SqlValue::Kind::kText:
        texts->push_back(ToNarrow(value.text()));
        rc = sqlite3_bind_text(statement, index, texts->back().data(),
                               static_cast<int>(texts->back().size()), SQLITE_STATIC);
        break;
      case SqlValue::Kind::kDateTime:
        rc = sqlite3_bind_text(statement, index, value.date_time().data(),
                               static_cast<int>(value.date_time().size()), SQLITE_STATIC);
        break;
    }
    if (rc != SQLITE_OK) return Fail(rc);
  }
  return Status::OK();
}

// A connection that failed at the link takes no statement.
constexpr char16_t kFailedText[] = u"the connection has failed";

Status SqliteConnection::Run(const Sql& sql, ResultSet* rows) {
  if (broken_) return Status::Link(kFailedText);
  CachedStatement* cached = nullptr;
  Status status = Prepare(sql.parameterized(), &cached);
  if (!status.ok()) return status;
  sqlite3_stmt* statement = cached->statement.get();
  // Reset and unbind on every way out, so a cached statement holds no lock
  // and no pointer into this call's texts.
  struct Resetter {
    sqlite3_stmt* statement;
    ~Resetter() {
      sqlite3_reset(statement);
      sqlite3_clear_bindings(statement);
    }
  } resetter{statement};
  std::vector<std::string> texts;
  status = Bind(statement, sql, &texts);
  if (!status.ok()) return status;
  if (rows != nullptr) {
    *rows = ResultSet();
    rows->column_names = cached->column_names;
    rows->column_types = cached->declared_types;
  }
  int rc;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    if (rows != nullptr) ReadRow(statement, *cached, rows);
  }
  if (rc != SQLITE_DONE) {
    if (rows != nullptr) *rows = ResultSet();
    return Fail(rc);
  }
  changes_ = rows == nullptr ? sqlite3_changes64(db_.get()) : 0;
  return Status::OK();
}

void SqliteConnection::ReadRow(sqlite3_stmt* statement, const CachedStatement& cached,
                               ResultSet* rows) {
  const size_t columns = cached.column_names.size();
  std::vector<Variant>& row = rows->rows.emplace_back();
  row.reserve(columns);
  for (size_t i = 0; i < columns; ++i) {
    const int column = static_cast<int>(i);
    const int storage = sqlite3_column_type(statement, column);
    const int declared = cached.declared_types[i];
    if (rows->column_types[i] == kAdEmpty) rows->column_types[i] = TypeOfValue(storage);
    switch (storage) {
      case SQLITE_NULL:
        row.push_back(Variant::Null());
        break;
      case SQLITE_INTEGER: {
        int64_t value = sqlite3_column_int64(statement, column);
        if (declared == kAdBoolean) value = value != 0 ? 1 : 0;
        row.push_back(Variant::Integer(value));
        break;
      }
      case SQLITE_FLOAT:
        row.push_back(Variant::Real(sqlite3_column_double(statement, column)));
        break;
      default: {
        const unsigned char* text = sqlite3_column_text(statement, column);
        const int bytes = sqlite3_column_bytes(statement, column);
        if (text == nullptr) {
          row.push_back(Variant::Text(std::u16string()));
        } else if (declared == kAdDBTimeStamp) {
          row.push_back(Variant::Text(DateTimeText(text, bytes)));
        } else {
          row.push_back(Variant::Text(WideText(text, bytes)));
        }
        break;
      }
    }
  }
}

Status SqliteConnection::Plain(const char* text) {
  if (broken_) return Status::Link(kFailedText);
  // Transaction control runs with every transaction: prepared once and
  // kept with the other statements.
  CachedStatement* cached = nullptr;
  Status status = Prepare(text, &cached);
  if (!status.ok()) return status;
  sqlite3_stmt* statement = cached->statement.get();
  int rc;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) status = Fail(rc);
  sqlite3_reset(statement);
  return status;
}

Status SqliteConnection::Rollback() {
  // Some failures (a full disk, an I/O error) end the transaction already.
  if (sqlite3_get_autocommit(db_.get()) != 0) return Status::OK();
  return Plain("ROLLBACK");
}

}  // namespace

Status OpenSqliteConnection(const std::string& path, std::unique_ptr<Connection>* connection,
                            const ConnectionOptions& options) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  std::unique_ptr<sqlite3, SqliteCloser> db(raw);
  const auto fail = [&](int code) {
    const char* message = db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(code);
    return Status::Link(ToWide(message != nullptr ? message : "unable to open database file"));
  };
  if (rc != SQLITE_OK) return fail(rc);
  // The WAL files are opened by the first read below.
  DatabaseFiles files{path, IdOf(path), {}, {}};
  OpenDatabases::Instance().ClearLeftFiles(path);
  sqlite3_extended_result_codes(db.get(), 1);
  // The journal mode below may wait for a lock: for at most the connect
  // timeout (the connection's own handler takes over after).
  sqlite3_busy_timeout(db.get(), static_cast<int>(std::min<int64_t>(
                                     options.connect_timeout.count(), 24 * 3600 * 1000)));
  // Reading the journal mode also proves that the file is a database: a
  // file of another kind opens fine and fails only here. A file the
  // process may only read opens read-only: its journal mode can't change,
  // but it still answers queries, and every change fails as read-only.
  const bool read_only = sqlite3_db_readonly(db.get(), "main") == 1;
  rc = sqlite3_exec(db.get(), read_only ? "PRAGMA journal_mode" : "PRAGMA journal_mode=WAL",
                    nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return fail(rc);
  files.wal = IdOf(path + "-wal");
  files.shm = IdOf(path + "-shm");
  *connection = std::make_unique<SqliteConnection>(db.release(), std::move(files));
  return Status::OK();
}

}  // namespace zelvar::db
