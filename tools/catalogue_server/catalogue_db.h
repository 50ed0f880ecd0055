#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "catalogue_store.h"
#include "where_clause.h"

namespace ks {

// Owns one SQLite connection to a catalogue database.
class CatalogueDb final : public CatalogueStore {
  public:
    struct StmtCloser {
        void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
    };
    using Stmt = std::unique_ptr<sqlite3_stmt, StmtCloser>;

    // Opens (and with `create`, creates the schema of) the database. Throws std::runtime_error.
    CatalogueDb(const std::string& path, bool create);
    ~CatalogueDb() override;
    CatalogueDb(const CatalogueDb&) = delete;
    CatalogueDb& operator=(const CatalogueDb&) = delete;

    void Begin() override;
    void Commit() override;
    int64_t Insert(const std::string& record, const std::string& isbn, const std::string& name,
                   const std::string& namepy) override;
    Page Search(const WhereClause& clause, int64_t start, int64_t count, bool withTotal) override;
    Page SearchAfter(const WhereClause& clause, int64_t afterId, int64_t count) override;
    bool LimitWork(int64_t steps) override;

    // EXPLAIN QUERY PLAN of the page query, one detail text per row.
    std::vector<std::string> Explain(const WhereClause& clause) override;

    int64_t Count() override;
    void RemoveAll() override;

    // PRAGMA integrity_check: "ok" for a sound database file.
    std::string IntegrityCheck();

  private:
    struct Closer {
        void operator()(sqlite3* db) const { sqlite3_close(db); }
    };
    // A statement borrowed from the cache: reset, its bindings cleared, when it goes back.
    struct Borrowed {
        void operator()(sqlite3_stmt* s) const {
            sqlite3_reset(s);
            sqlite3_clear_bindings(s);
        }
    };
    using CachedStmt = std::unique_ptr<sqlite3_stmt, Borrowed>;

    // A read transaction for as long as it lives.
    class ReadTransaction {
      public:
        explicit ReadTransaction(CatalogueDb& db);
        ~ReadTransaction();
        ReadTransaction(const ReadTransaction&) = delete;
        ReadTransaction& operator=(const ReadTransaction&) = delete;

      private:
        CatalogueDb& db_;
        bool open_ = false;
    };

    void Exec(const char* sql);
    // The next row of a search: true for a row, false at the end; an error throws (a page
    // cut short is never passed off as the whole page).
    bool NextRow(sqlite3_stmt* s);
    // The statement for `sql`, prepared once per connection and kept (a search's text
    // depends only on the shape of its where-clause, so few are ever made).
    CachedStmt Cached(const std::string& sql);
    // The connection is declared before the statements, so they are finalised first.
    // Owned from the moment sqlite3_open_v2 hands it over, so that a constructor that throws
    // afterwards closes it too.
    std::unique_ptr<sqlite3, Closer> handle_;
    sqlite3* db_ = nullptr;  // handle_.get()
    std::unordered_map<std::string, Stmt> statements_;
    bool limited_ = false;
    int64_t stepsLeft_ = 0;  // of a limited search, counted down by the progress handler
};

}  // namespace ks
