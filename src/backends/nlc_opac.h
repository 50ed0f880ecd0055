#pragma once

#include <functional>
#include <string>

#include "app/app_state.h"
#include "backends/http_client.h"
#include "records/record_store.h"
#include "records/result_index.h"
#include "search/search_session.h"

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

// Searches the national library's web OPAC by ISBN (GetMarcFromNlcOpac).
class NlcOpacBackend final : public OpacBackend {
  public:
    NlcOpacBackend(AppState& state, RecordStore& store, ResultIndex& index, HttpClient& http);
    SearchOutcome FirstPage(const TargetEntry& entry, const std::string& isbn) override;

    // Told each time a record page has arrived (pages done, pages in all), so the window
    // can show the progress and repaint while the others are on their way.
    using Progress = std::function<void(int done, int total)>;
    void SetProgress(Progress progress) { progress_ = std::move(progress); }

  private:
    Progress progress_;
    AppState& state_;
    RecordStore& store_;
    ResultIndex& index_;
    HttpClient& http_;
};

}  // namespace z39
