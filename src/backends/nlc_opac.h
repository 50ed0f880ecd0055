#pragma once

#include <string>

#include "backends/http_client.h"
#include "backends/search_backend.h"
#include "common/user_interface.h"
#include "records/record_store.h"
#include "records/result_index.h"
#include "state/app_state.h"

namespace z39 {

inline constexpr int kOpacTimeoutMs = 60000;
inline constexpr int kOpacMaxRecords = 30;
// Record pages fetched at the same time.
inline constexpr int kOpacParallelPages = 6;

// The characters '0' to '9' of a text, in order.
std::string DigitsOnly(const std::string& text);

// One GET: the body converted from UTF-8 to GBK and trimmed; empty on any failure.
std::string GetOneBookData(HttpClient& http, const std::string& url);

// The action address of the start page's form "form1", or empty.
std::string GetCsUrl(HttpClient& http, const std::string& baseAddress);

// The set number of a result page (digits only; empty when there is none).
std::string SetNumberOf(const std::string& resultPage);

// The hit count of a result page, at most 30; -1 when the page has no hit-count marker.
int HitCountOf(const std::string& resultPage);

// Searches the national library's web OPAC by ISBN (GetMarcFromNlcOpac). Each arriving
// record page sets the status message to ReceivingStatus and lets the window repaint.
class NlcOpacBackend final : public SearchBackend {
  public:
    NlcOpacBackend(AppState& state, RecordStore& store, ResultIndex& index, HttpClient& http,
                   UserInterface& ui);
    SearchOutcome FirstPage(const TargetEntry& entry, const std::string& isbn) override;
    // The OPAC's hits come in one page: there is no further page to fetch.
    SearchOutcome NextPage(const TargetEntry& entry, const std::string& isbn, int64_t total,
                           int64_t nextStart, int64_t count) override;

  private:
    AppState& state_;
    RecordStore& store_;
    ResultIndex& index_;
    HttpClient& http_;
    UserInterface& ui_;
};

}  // namespace z39
