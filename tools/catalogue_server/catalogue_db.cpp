#include "catalogue_db.h"

#include "pg_catalogue.h"

#include <memory>
#include <optional>
#include <stdexcept>

namespace ks {
namespace {

// At most this many kept statements per connection; past it the cache starts again.
constexpr size_t kMaxCachedStatements = 256;
// How long a statement waits for a lock that an import holds.
constexpr int kBusyTimeoutMs = 5000;

// How often a limited search's steps are counted.
constexpr int kStepsPerCheck = 1000;

// Counts a limited search's steps down; non-zero stops the search once they are spent.
int SpendSteps(void* left) {
    auto* steps = static_cast<int64_t*>(left);
    *steps -= kStepsPerCheck;
    return *steps < 0 ? 1 : 0;
}

sqlite3_stmt* PrepareRaw(sqlite3* db, const std::string& sql, unsigned flags) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v3(db, sql.c_str(), static_cast<int>(sql.size()), flags, &raw, nullptr) !=
        SQLITE_OK) {
        sqlite3_finalize(raw);
        throw std::runtime_error(std::string("SQL error: ") + sqlite3_errmsg(db));
    }
    return raw;
}

using Stmt = CatalogueDb::Stmt;

Stmt Prepare(sqlite3* db, const std::string& sql) { return Stmt(PrepareRaw(db, sql, 0)); }

void BindText(sqlite3_stmt* s, int index, const std::string& value) {
    sqlite3_bind_text(s, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
}

std::string ColumnBytes(sqlite3_stmt* s, int col) {
    const void* p = sqlite3_column_blob(s, col);
    int n = sqlite3_column_bytes(s, col);
    return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
}

void GbkUpperFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
    const void* p = sqlite3_value_blob(argv[0]);
    int n = sqlite3_value_bytes(argv[0]);
    std::string upper =
        GbkUpper(std::string_view(static_cast<const char*>(p ? p : ""), static_cast<size_t>(n)));
    sqlite3_result_text(ctx, upper.data(), static_cast<int>(upper.size()), SQLITE_TRANSIENT);
}

}  // namespace

CatalogueDb::CatalogueDb(const std::string& path, bool create) {
    int flags = create ? (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) : SQLITE_OPEN_READONLY;
    flags |= SQLITE_OPEN_NOMUTEX;
    const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    handle_.reset(db_);
    if (rc != SQLITE_OK) {
        std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
        throw std::runtime_error("cannot open " + path + ": " + why);
    }
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    sqlite3_create_function(db_, "gbk_upper", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                            GbkUpperFunction, nullptr, nullptr);
    if (create) {
        Exec("PRAGMA journal_mode=WAL");
        Exec(
            "CREATE TABLE IF NOT EXISTS records ("
            " id INTEGER PRIMARY KEY,"
            " record TEXT NOT NULL,"
            " ma_isbn TEXT NOT NULL,"
            " ma_name TEXT NOT NULL,"
            " ma_namepy TEXT NOT NULL)");
        Exec("CREATE INDEX IF NOT EXISTS records_isbn ON records(ma_isbn)");
        Exec("CREATE INDEX IF NOT EXISTS records_name ON records(ma_name)");
        Exec("CREATE INDEX IF NOT EXISTS records_namepy ON records(ma_namepy)");
        // Titles without regard to Latin letter case; a catalogue made before this index
        // gets it the first time it is opened for writing.
        Exec("CREATE INDEX IF NOT EXISTS records_name_ci ON records(gbk_upper(ma_name))");
    }
}

CatalogueDb::~CatalogueDb() = default;

CatalogueDb::CachedStmt CatalogueDb::Cached(const std::string& sql) {
    auto hit = statements_.find(sql);
    if (hit == statements_.end()) {
        if (statements_.size() >= kMaxCachedStatements) statements_.clear();
        hit = statements_
                  .emplace(sql, CatalogueDb::Stmt(PrepareRaw(db_, sql, SQLITE_PREPARE_PERSISTENT)))
                  .first;
    }
    return CachedStmt(hit->second.get());
}

bool CatalogueDb::LimitWork(int64_t steps) {
    limited_ = steps > 0;
    if (limited_) {
        stepsLeft_ = steps;
        sqlite3_progress_handler(db_, kStepsPerCheck, SpendSteps, &stepsLeft_);
        sqlite3_busy_timeout(db_, 0);
    } else {
        sqlite3_progress_handler(db_, 0, nullptr, nullptr);
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    }
    return true;
}

CatalogueDb::ReadTransaction::ReadTransaction(CatalogueDb& db) : db_(db) {
    CachedStmt begin = db_.Cached("BEGIN");
    open_ = sqlite3_step(begin.get()) == SQLITE_DONE;
}

CatalogueDb::ReadTransaction::~ReadTransaction() {
    if (!open_) return;
    // Nothing was written: ending it either way is the same, and it must end, or the
    // connection would go on reading this state of the catalogue. A search that spent its
    // steps must not have its end stopped too.
    if (db_.limited_) sqlite3_progress_handler(db_.db_, 0, nullptr, nullptr);
    CachedStmt end = db_.Cached("COMMIT");
    if (sqlite3_step(end.get()) != SQLITE_DONE) {
        end.reset();
        CachedStmt rollback = db_.Cached("ROLLBACK");
        sqlite3_step(rollback.get());
    }
    if (db_.limited_)
        sqlite3_progress_handler(db_.db_, kStepsPerCheck, SpendSteps, &db_.stepsLeft_);
}

bool CatalogueDb::NextRow(sqlite3_stmt* s) {
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    if (limited_ && (rc == SQLITE_INTERRUPT || rc == SQLITE_BUSY || rc == SQLITE_LOCKED))
        throw WorkLimitReached();
    throw std::runtime_error(std::string("search failed: ") + sqlite3_errmsg(db_));
}

void CatalogueDb::Exec(const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::string why = err ? err : "unknown";
        sqlite3_free(err);
        throw std::runtime_error(std::string("SQL error: ") + why);
    }
}

void CatalogueDb::Begin() { Exec("BEGIN"); }
void CatalogueDb::Commit() { Exec("COMMIT"); }

int64_t CatalogueDb::Insert(const std::string& record, const std::string& isbn,
                            const std::string& name, const std::string& namepy) {
    CachedStmt s =
        Cached("INSERT INTO records(record, ma_isbn, ma_name, ma_namepy) VALUES(?,?,?,?)");
    BindText(s.get(), 1, record);
    BindText(s.get(), 2, isbn);
    BindText(s.get(), 3, name);
    BindText(s.get(), 4, namepy);
    if (sqlite3_step(s.get()) != SQLITE_DONE)
        throw std::runtime_error(std::string("insert failed: ") + sqlite3_errmsg(db_));
    return sqlite3_last_insert_rowid(db_);
}

CatalogueStore::Page CatalogueDb::Search(const WhereClause& clause, int64_t start, int64_t count,
                                         bool withTotal) {
    Page page;
    SqlCondition cond = ToSql(clause);
    // The count and the page in one read transaction: one lock and one look at the file
    // instead of two, and both from the same state of the catalogue.
    std::optional<ReadTransaction> together;
    if (withTotal && count > 0) together.emplace(*this);
    if (withTotal) {
        CachedStmt s = Cached("SELECT count(*) FROM records WHERE " + cond.sql);
        for (size_t i = 0; i < cond.params.size(); ++i)
            BindText(s.get(), static_cast<int>(i + 1), cond.params[i]);
        if (NextRow(s.get())) page.total = sqlite3_column_int64(s.get(), 0);
    }
    if (count <= 0) return page;
    if (start < 1) start = 1;
    CachedStmt s = Cached("SELECT id, record FROM records WHERE " + cond.sql +
                          " ORDER BY id LIMIT ? OFFSET ?");
    int n = 1;
    for (const auto& p : cond.params) BindText(s.get(), n++, p);
    sqlite3_bind_int64(s.get(), n++, count);
    sqlite3_bind_int64(s.get(), n++, start - 1);
    while (NextRow(s.get()))
        page.hits.push_back({sqlite3_column_int64(s.get(), 0), ColumnBytes(s.get(), 1)});
    return page;
}

CatalogueStore::Page CatalogueDb::SearchAfter(const WhereClause& clause, int64_t afterId,
                                              int64_t count) {
    Page page;
    if (count <= 0) return page;
    SqlCondition cond = ToSql(clause);
    CachedStmt s = Cached("SELECT id, record FROM records WHERE id > ? AND (" + cond.sql +
                          ") ORDER BY id LIMIT ?");
    int n = 1;
    sqlite3_bind_int64(s.get(), n++, afterId);
    for (const auto& p : cond.params) BindText(s.get(), n++, p);
    sqlite3_bind_int64(s.get(), n++, count);
    while (NextRow(s.get()))
        page.hits.push_back({sqlite3_column_int64(s.get(), 0), ColumnBytes(s.get(), 1)});
    return page;
}

std::vector<std::string> CatalogueDb::Explain(const WhereClause& clause) {
    SqlCondition cond = ToSql(clause);
    Stmt s = Prepare(db_, "EXPLAIN QUERY PLAN SELECT id, record FROM records WHERE " + cond.sql +
                              " ORDER BY id LIMIT 10 OFFSET 0");
    int n = 1;
    for (const auto& p : cond.params) BindText(s.get(), n++, p);
    std::vector<std::string> out;
    while (sqlite3_step(s.get()) == SQLITE_ROW) out.push_back(ColumnBytes(s.get(), 3));
    return out;
}

void CatalogueDb::RemoveAll() { Exec("DELETE FROM records"); }

std::string CatalogueDb::IntegrityCheck() {
    Stmt s = Prepare(db_, "PRAGMA integrity_check");
    return sqlite3_step(s.get()) == SQLITE_ROW ? ColumnBytes(s.get(), 0) : "no answer";
}

int64_t CatalogueDb::Count() {
    Stmt s = Prepare(db_, "SELECT count(*) FROM records");
    return sqlite3_step(s.get()) == SQLITE_ROW ? sqlite3_column_int64(s.get(), 0) : 0;
}

}  // namespace ks

namespace ks {

bool IsPostgresUri(const std::string& db) {
    return db.starts_with("postgresql://") || db.starts_with("postgres://");
}

std::string ShownDb(const std::string& db) {
    if (!IsPostgresUri(db)) return db;
    std::string shown = db;
    // user:password@ between "//" and the host
    const size_t authority = shown.find("//") + 2;
    const size_t at = shown.find('@', authority);
    const size_t slash = shown.find('/', authority);
    if (at != std::string::npos && (slash == std::string::npos || at < slash)) {
        const size_t colon = shown.find(':', authority);
        if (colon != std::string::npos && colon < at)
            shown.replace(colon + 1, at - colon - 1, "***");
    }
    // password=... among the parameters
    for (size_t p = shown.find("password="); p != std::string::npos;
         p = shown.find("password=", p + 1)) {
        const size_t from = p + 9;
        size_t to = shown.find('&', from);
        if (to == std::string::npos) to = shown.size();
        shown.replace(from, to - from, "***");
    }
    return shown;
}

std::unique_ptr<CatalogueStore> OpenCatalogue(const std::string& db, bool create) {
    if (IsPostgresUri(db)) return std::make_unique<PgCatalogue>(db, create);
    return std::make_unique<CatalogueDb>(db, create);
}

}  // namespace ks
