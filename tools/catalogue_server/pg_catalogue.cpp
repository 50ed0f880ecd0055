#include "pg_catalogue.h"

#include <stdexcept>

namespace ks {
namespace {

using Result = std::unique_ptr<PGresult, PgCatalogue::ResultCloser>;

// At most this many prepared statements per connection; past it they are dropped.
constexpr size_t kMaxPreparedStatements = 256;

// Binary (bytea) parameters as libpq takes them.
struct Params {
    explicit Params(const std::vector<std::string>& params) {
        for (const auto& p : params) {
            values.push_back(p.data());
            lengths.push_back(static_cast<int>(p.size()));
            formats.push_back(1);
        }
    }
    std::vector<const char*> values;
    std::vector<int> lengths, formats;
};

Result Checked(PGconn* conn, Result r) {
    ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
        throw std::runtime_error(std::string("PostgreSQL: ") + PQerrorMessage(conn));
    return r;
}

// Runs a statement with binary (bytea) parameters; throws with the server's message.
Result Run(PGconn* conn, const std::string& sql, const std::vector<std::string>& params,
           int resultFormat) {
    Params p(params);
    return Checked(conn, Result(PQexecParams(conn, sql.c_str(), static_cast<int>(params.size()),
                                             nullptr, p.values.data(), p.lengths.data(),
                                             p.formats.data(), resultFormat)));
}

int64_t BigEndian64(const char* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | static_cast<unsigned char>(p[i]);
    return static_cast<int64_t>(v);
}

std::string Int64Param(int64_t v) { return std::to_string(v); }

// The rows of an (id, record) result, in binary format, added to the page.
void AppendHits(const PGresult* r, CatalogueStore::Page& page) {
    for (int row = 0; row < PQntuples(r); ++row) {
        page.hits.push_back(
            {BigEndian64(PQgetvalue(r, row, 0)),
             std::string(PQgetvalue(r, row, 1), static_cast<size_t>(PQgetlength(r, row, 1)))});
    }
}

}  // namespace

PgCatalogue::PgCatalogue(const std::string& uri, bool create) : uri_(uri) {
    Connection();
    if (create) {
        Exec(
            "CREATE TABLE IF NOT EXISTS records ("
            " id BIGSERIAL PRIMARY KEY,"
            " record BYTEA NOT NULL,"
            " ma_isbn BYTEA NOT NULL,"
            " ma_name BYTEA NOT NULL,"
            " ma_name_ci BYTEA NOT NULL,"
            " ma_namepy BYTEA NOT NULL)");
        Exec("CREATE INDEX IF NOT EXISTS records_isbn ON records(ma_isbn, id)");
        Exec("CREATE INDEX IF NOT EXISTS records_name_ci ON records(ma_name_ci, id)");
        Exec("CREATE INDEX IF NOT EXISTS records_namepy ON records(ma_namepy, id)");
    }
}

PGconn* PgCatalogue::Connection() {
    if (conn_ && PQstatus(conn_.get()) == CONNECTION_OK) return conn_.get();
    prepared_.clear();  // a new connection has none of them
    conn_.reset(PQconnectdb(uri_.c_str()));
    if (!conn_ || PQstatus(conn_.get()) != CONNECTION_OK) {
        std::string why = conn_ ? PQerrorMessage(conn_.get()) : "out of memory";
        conn_.reset();
        throw std::runtime_error("cannot connect to " + ShownDb(uri_) + ": " + why);
    }
    PQsetNoticeProcessor(
        conn_.get(), [](void*, const char*) {}, nullptr);
    return conn_.get();
}

void PgCatalogue::Exec(const char* sql) { Run(Connection(), sql, {}, 0); }

Result PgCatalogue::RunPrepared(const std::string& sql, const std::vector<std::string>& params,
                                int resultFormat) {
    try {
        return RunPreparedOnce(sql, params, resultFormat);
    } catch (const std::runtime_error&) {
        // A connection that broke (PostgreSQL restarted, a network cut) is made anew and the
        // statement run once more on it, outside a transaction: a request fails only while
        // the database is really gone.
        if (inTransaction_ || !conn_ || PQstatus(conn_.get()) != CONNECTION_BAD) throw;
        conn_.reset();
        prepared_.clear();
        return RunPreparedOnce(sql, params, resultFormat);
    }
}

Result PgCatalogue::RunPreparedOnce(const std::string& sql, const std::vector<std::string>& params,
                                    int resultFormat) {
    PGconn* conn = Connection();
    auto hit = prepared_.find(sql);
    if (hit == prepared_.end()) {
        if (prepared_.size() >= kMaxPreparedStatements) {
            Run(conn, "DEALLOCATE ALL", {}, 0);
            prepared_.clear();
        }
        const std::string name = "ks" + std::to_string(++statementsMade_);
        Checked(conn, Result(PQprepare(conn, name.c_str(), sql.c_str(),
                                       static_cast<int>(params.size()), nullptr)));
        hit = prepared_.emplace(sql, name).first;
    }
    Params p(params);
    return Checked(conn, Result(PQexecPrepared(conn, hit->second.c_str(),
                                               static_cast<int>(params.size()), p.values.data(),
                                               p.lengths.data(), p.formats.data(), resultFormat)));
}

void PgCatalogue::Begin() {
    Exec("BEGIN");
    inTransaction_ = true;
}
void PgCatalogue::Commit() {
    inTransaction_ = false;
    Exec("COMMIT");
}

int64_t PgCatalogue::Insert(const std::string& record, const std::string& isbn,
                            const std::string& name, const std::string& namepy) {
    Result r = RunPrepared(
        "INSERT INTO records(record, ma_isbn, ma_name, ma_name_ci, ma_namepy) "
        "VALUES($1, $2, $3, $4, $5) RETURNING id",
        {record, isbn, name, GbkUpper(name), namepy}, 1);
    return BigEndian64(PQgetvalue(r.get(), 0, 0));
}

CatalogueStore::Page PgCatalogue::Search(const WhereClause& clause, int64_t start, int64_t count,
                                         bool withTotal) {
    Page page;
    SqlCondition cond = ToSql(clause, SqlDialect::kPostgres);
    if (withTotal) {
        Result r = RunPrepared("SELECT count(*) FROM records WHERE " + cond.sql, cond.params, 1);
        page.total = BigEndian64(PQgetvalue(r.get(), 0, 0));
    }
    if (count <= 0) return page;
    if (start < 1) start = 1;
    const int n = static_cast<int>(cond.params.size());
    // LIMIT and OFFSET are text parameters cast to bigint; the rest are bytea.
    std::string sql = "SELECT id, record FROM records WHERE " + cond.sql + " ORDER BY id LIMIT $" +
                      std::to_string(n + 1) + "::text::bigint OFFSET $" + std::to_string(n + 2) +
                      "::text::bigint";
    std::vector<std::string> params = cond.params;
    params.push_back(Int64Param(count));
    params.push_back(Int64Param(start - 1));
    AppendHits(RunPrepared(sql, params, 1).get(), page);
    return page;
}

CatalogueStore::Page PgCatalogue::SearchAfter(const WhereClause& clause, int64_t afterId,
                                              int64_t count) {
    Page page;
    if (count <= 0) return page;
    SqlCondition cond = ToSql(clause, SqlDialect::kPostgres);
    const int n = static_cast<int>(cond.params.size());
    // The id and LIMIT are text parameters cast to bigint; the rest are bytea.
    std::string sql = "SELECT id, record FROM records WHERE id > $" + std::to_string(n + 1) +
                      "::text::bigint AND (" + cond.sql + ") ORDER BY id LIMIT $" +
                      std::to_string(n + 2) + "::text::bigint";
    std::vector<std::string> params = cond.params;
    params.push_back(Int64Param(afterId));
    params.push_back(Int64Param(count));
    AppendHits(RunPrepared(sql, params, 1).get(), page);
    return page;
}

std::vector<std::string> PgCatalogue::Explain(const WhereClause& clause) {
    SqlCondition cond = ToSql(clause, SqlDialect::kPostgres);
    // Planned as the server runs it: a small page of a large table.
    Result r =
        Run(Connection(),
            "EXPLAIN SELECT id, record FROM records WHERE " + cond.sql + " ORDER BY id LIMIT 10",
            cond.params, 0);
    std::vector<std::string> out;
    for (int row = 0; row < PQntuples(r.get()); ++row) out.push_back(PQgetvalue(r.get(), row, 0));
    return out;
}

void PgCatalogue::Analyse() { Exec("ANALYZE records"); }

void PgCatalogue::RemoveAll() { Exec("TRUNCATE records RESTART IDENTITY"); }

int64_t PgCatalogue::Count() {
    Result r = Run(Connection(), "SELECT count(*) FROM records", {}, 1);
    return BigEndian64(PQgetvalue(r.get(), 0, 0));
}

}  // namespace ks
