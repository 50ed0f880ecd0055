#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

#include "where_clause.h"

namespace ks {

// Owns one SQLite connection to a catalogue database.
class CatalogueDb {
  public:
    // Opens (and with `create`, creates the schema of) the database. Throws std::runtime_error.
    CatalogueDb(const std::string& path, bool create);
    ~CatalogueDb();
    CatalogueDb(const CatalogueDb&) = delete;
    CatalogueDb& operator=(const CatalogueDb&) = delete;

    void Begin();
    void Commit();
    // Adds a record with its search keys; returns its id.
    int64_t Insert(const std::string& record, const std::string& isbn, const std::string& name,
                   const std::string& namepy);

    struct Hit {
        int64_t id;
        std::string record;
    };
    struct Page {
        int64_t total = 0;
        std::vector<Hit> hits;
    };
    // Records matching the clause in id order, from 1-based `start`, at most `count`;
    // the total only when asked for. A count of zero or less returns no records.
    Page Search(const WhereClause& clause, int64_t start, int64_t count, bool withTotal);

    // EXPLAIN QUERY PLAN of the page query, one detail text per row.
    std::vector<std::string> Explain(const WhereClause& clause);

    int64_t Count();

    // PRAGMA integrity_check: "ok" for a sound database file.
    std::string IntegrityCheck();

  private:
    void Exec(const char* sql);
    sqlite3* db_ = nullptr;
};

}  // namespace ks
