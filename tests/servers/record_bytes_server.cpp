// A Z39.50 server for tests that serves records exactly as they are in a file: YAZ's
// generic front-end server, answering a search with the records whose bytes hold one of
// the search's terms, each sent byte for byte.
//
//   z39-record-server RECORDS.mrc [yaz GFS options, e.g. -T tcp:127.0.0.1:PORT]
#include <yaz/backend.h>
#include <yaz/oid_db.h>
#include <yaz/pquery.h>
#include <yaz/querytowrbuf.h>
#include <yaz/wrbuf.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_records;  // read once, before the server starts

// One connection's result set.
struct Session {
    std::vector<size_t> set;
};

// The records of an ISO 2709 file as its leaders give their lengths.
std::vector<std::string> ReadRecords(const char* path) {
    std::ifstream in(path, std::ios::binary);
    const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> out;
    size_t at = 0;
    while (at + 5 <= all.size()) {
        const size_t length = std::strtoul(all.substr(at, 5).c_str(), nullptr, 10);
        if (length < 5 || at + length > all.size()) break;
        out.push_back(all.substr(at, length));
        at += length;
    }
    return out;
}

// The terms of the query as PQF prints it, quotes taken off.
std::vector<std::string> Terms(Z_Query* query) {
    WRBUF w = wrbuf_alloc();
    yaz_query_to_wrbuf(w, query);
    const std::string pqf(wrbuf_cstr(w));
    wrbuf_destroy(w);
    std::vector<std::string> out;
    size_t at = 0;
    bool attributeValue = false;
    while (at < pqf.size()) {
        while (at < pqf.size() && pqf[at] == ' ') ++at;
        if (at >= pqf.size()) break;
        std::string token;
        if (pqf[at] == '"') {
            const size_t end = pqf.find('"', at + 1);
            token = pqf.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
            at = end == std::string::npos ? pqf.size() : end + 1;
        } else {
            const size_t end = pqf.find(' ', at);
            token = pqf.substr(at, end == std::string::npos ? std::string::npos : end - at);
            at = end == std::string::npos ? pqf.size() : end;
        }
        if (token == "@attr" || token == "@attrset") {
            attributeValue = true;
        } else if (attributeValue) {
            attributeValue = token.find('=') == std::string::npos;  // a set name before it
        } else if (!token.empty() && token[0] != '@') {
            out.push_back(token);
        }
    }
    return out;
}

int Search(void* handle, bend_search_rr* rr) {
    auto* session = static_cast<Session*>(handle);
    const std::vector<std::string> terms = Terms(rr->query);
    session->set.clear();
    for (size_t i = 0; i < g_records.size(); ++i)
        for (const std::string& term : terms)
            if (g_records[i].find(term) != std::string::npos) {
                session->set.push_back(i);
                break;
            }
    rr->hits = static_cast<Odr_int>(session->set.size());
    return 0;
}

int Fetch(void* handle, bend_fetch_rr* rr) {
    const std::vector<size_t>& set = static_cast<Session*>(handle)->set;
    if (rr->number < 1 || static_cast<size_t>(rr->number) > set.size()) {
        rr->errcode = 13;  // present request out of range
        return 0;
    }
    const std::string& record = g_records[set[static_cast<size_t>(rr->number - 1)]];
    rr->record = static_cast<char*>(odr_malloc(rr->stream, record.size()));
    std::copy(record.begin(), record.end(), rr->record);
    rr->len = static_cast<int>(record.size());
    rr->output_format =
        rr->request_format ? rr->request_format : odr_oiddup(rr->stream, yaz_oid_recsyn_usmarc);
    rr->last_in_set = static_cast<size_t>(rr->number) == set.size();
    return 0;
}

bend_initresult* Init(bend_initrequest* r) {
    auto* result = static_cast<bend_initresult*>(odr_malloc(r->stream, sizeof(bend_initresult)));
    result->errcode = 0;
    result->errstring = nullptr;
    result->handle = new Session;
    r->bend_search = Search;
    r->bend_fetch = Fetch;
    return result;
}

void Close(void* handle) { delete static_cast<Session*>(handle); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 64;
    g_records = ReadRecords(argv[1]);
    argv[1] = argv[0];
    return statserv_main(argc - 1, argv + 1, Init, Close);
}
