#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "backends/http_client.h"
#include "backends/search_backend.h"

namespace z39 {

inline constexpr int kSruTimeoutMs = 60000;

// The CQL index a search row's field (GBK, as the form shows it) goes to: the target's own
// name for it when the list names one (index.title=..., index.isbn=..., and so on), else
// the usual one: dc.title, bath.isbn, bath.issn, dc.creator, dc.publisher, dc.date. Any
// other field searches cql.serverChoice.
std::string CqlIndexFor(const std::string& field, const SruOptions& options);

// A CQL search term for a value in UTF-8: in double quotes, with "\", '"', "*", "?" and "^"
// escaped, so that the server reads every character as itself (as a Z39.50 term is read).
std::string QuoteCqlTerm(std::string_view utf8);

// The rows that take part as one CQL query in UTF-8: each row "index=term", joined by "and"
// or "or" from the top (CQL reads left to right, which groups as the Z39.50 query does);
// an ISBN row is the forms a server may index, "or"-ed in parentheses.
std::string BuildCqlQuery(const std::vector<SearchCondition>& rows, const SruOptions& options);

// The searchRetrieve address for a page: the target's address, its port when set, its
// database as the path, then version 1.1, the query, startRecord, maximumRecords and the
// "marcxml" record schema in XML packing.
std::string SruSearchUrl(const TargetEntry& entry, const std::string& cql, int64_t start,
                         int64_t maximum);

// One diagnostic as the server sent it.
struct SruDiagnostic {
    std::string uri;      // info:srw/diagnostic/1/16
    std::string details;  // what it concerns, e.g. the index
    std::string message;  // the server's own words, when it sent them
};

// A diagnostic in words (UTF-8): the server's message, else the meaning of its number in
// the SRU diagnostic list, else its URI; then the details in parentheses.
std::string SruDiagnosticText(const SruDiagnostic& diagnostic);

// One record of an answer: the GBK ISO 2709 record made from its MARCXML, or why there is
// none.
struct SruRecord {
    std::optional<std::string> gbk;
    int references = 0;   // characters GBK lacks, written as "&#xXXXX;"
    std::string refusal;  // GBK: the record's diagnostic, or why it makes no record
};

// A searchRetrieve answer.
struct SruResponse {
    bool hasCount = false;
    int64_t numberOfRecords = 0;
    std::vector<SruRecord> records;
    std::vector<SruDiagnostic> diagnostics;
};

// Reads an answer of any SRU version (1.1, 1.2, 2.0), with or without a SOAP envelope,
// records packed as XML or as escaped strings. Nothing when the text is not XML or not a
// searchRetrieve answer.
// `most` records at most are read (converted and kept): what a server sends beyond what it
// was asked for is left, and the next page starts after what was read.
std::optional<SruResponse> ParseSruResponse(std::string_view body,
                                            size_t most = static_cast<size_t>(-1));

// SRU servers: one GET per page, MARCXML records turned into ISO 2709 and then into GBK
// as for Z39.50. The first page asks for one record, as the Z39.50 route shows one; a
// further page asks for the range the request names. A diagnostic with no record is the
// server's refusal, in its words; an answer that is not SRU is a failure, never "no data".
class SruBackend final : public SearchBackend {
  public:
    explicit SruBackend(HttpClient& http, int timeoutMs = kSruTimeoutMs);
    PageResult Fetch(const TargetProfile& target, const SearchRequest& request,
                     CancelToken& cancel) override;

  private:
    HttpClient& http_;
    int timeoutMs_;
};

}  // namespace z39
