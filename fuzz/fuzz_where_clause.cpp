// The server's where-clause parser: an accepted clause round-trips through Render.
#include "fuzz_support.h"
#include "where_clause.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ks::ParseResult first = ks::ParseWhereClause(AsText(data, size));
    if (!first.ok) return 0;
    std::string again = ks::Render(first.clause);
    ks::ParseResult second = ks::ParseWhereClause(again);
    FUZZ_CHECK(second.ok);
    FUZZ_CHECK(second.clause.anyOf == first.clause.anyOf);
    ks::ToSql(first.clause);
    return 0;
}
