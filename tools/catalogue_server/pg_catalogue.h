#pragma once

#include <libpq-fe.h>

#include <memory>
#include <string>
#include <unordered_map>

#include "catalogue_store.h"

namespace ks {

// The catalogue on PostgreSQL through libpq. Records and keys are bytea, so GBK stays
// byte-exact and a prefix is a byte range, as on SQLite; the title folded for letter case
// is a column of its own with an index. One connection per object: the server keeps one
// per worker thread, a fixed pool. A lost connection is made again on the next call; the
// call that met the loss fails.
class PgCatalogue final : public CatalogueStore {
  public:
    struct ResultCloser {
        void operator()(PGresult* r) const { PQclear(r); }
    };

    PgCatalogue(const std::string& uri, bool create);

    void Begin() override;
    void Commit() override;
    int64_t Insert(const std::string& record, const std::string& isbn, const std::string& name,
                   const std::string& namepy) override;
    Page Search(const WhereClause& clause, int64_t start, int64_t count, bool withTotal) override;
    Page SearchAfter(const WhereClause& clause, int64_t afterId, int64_t count) override;
    std::vector<std::string> Explain(const WhereClause& clause) override;
    int64_t Count() override;
    void RemoveAll() override;
    // Fresh planner statistics after a large import.
    void Analyse();

  private:
    struct ConnCloser {
        void operator()(PGconn* c) const { PQfinish(c); }
    };
    PGconn* Connection();
    void Exec(const char* sql);
    // Runs `sql` as a statement prepared once per connection (a search's text depends only
    // on the shape of its where-clause, so few are ever made).
    std::unique_ptr<PGresult, ResultCloser> RunPrepared(const std::string& sql,
                                                        const std::vector<std::string>& params,
                                                        int resultFormat);
    std::unique_ptr<PGresult, ResultCloser> RunPreparedOnce(const std::string& sql,
                                                            const std::vector<std::string>& params,
                                                            int resultFormat);

    std::string uri_;
    std::unique_ptr<PGconn, ConnCloser> conn_;
    std::unordered_map<std::string, std::string> prepared_;  // SQL text -> statement name
    int64_t statementsMade_ = 0;
    bool inTransaction_ = false;  // between Begin and Commit: a broken connection is not retried
};

}  // namespace ks
