#pragma once

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "backends/http_client.h"
#include "backends/search_backend.h"
#include "common/clock.h"
#include "common/user_interface.h"

namespace z39::test {

// Time that passes only when someone sleeps.
class FakeClock final : public Clock {
  public:
    int64_t NowMs() override { return now_; }
    void SleepMs(int ms) override {
        now_ += ms;
        ++sleeps_;
    }
    int sleeps() const { return sleeps_; }
    void Step(const char* name) override { steps.push_back(name); }
    std::vector<std::string> steps;  // the named steps, in order

  private:
    int64_t now_ = 0;
    int sleeps_ = 0;
};

// Records every message and cursor change.
class RecordingUi final : public UserInterface {
  public:
    bool AskYesNo(const std::string&, const std::string& text) override {
        questions.push_back(text);
        return answerYes;
    }
    bool answerYes = false;
    std::vector<std::string> questions;
    SaveChoice AskSaveDiscardCancel(const std::string&, const std::string& text) override {
        questions.push_back(text);
        return saveChoice;
    }
    SaveChoice saveChoice = SaveChoice::kDiscard;
    void ShowMessage(const std::string& title, const std::string& text) override {
        messages.emplace_back(title, text);
    }
    Cursor CurrentCursor() const override { return cursor; }
    void SetCursor(Cursor c) override {
        cursor = c;
        cursorChanges.push_back(c);
    }
    std::vector<std::pair<std::string, std::string>> messages;
    std::vector<Cursor> cursorChanges;
    Cursor cursor = Cursor::kNormal;
    // What the window does while it waits, for tests that look at it then.
    std::function<void()> onProcessEvents;
    void ProcessPendingEvents() override {
        if (onProcessEvents) onProcessEvents();
    }
};

// Answers GETs from a table by URL and records every request; unknown URLs fail.
class FakeHttp final : public HttpClient {
  public:
    HttpResult Get(const std::string& url, int timeoutMs, const CancelToken* = nullptr) override {
        requests.push_back(url);
        lastTimeoutMs = timeoutMs;
        auto hit = answers.find(url);
        if (hit == answers.end()) return HttpResult{false, 0, "", "no route"};
        return hit->second;
    }
    void Answer(const std::string& url, const std::string& body, long status = 200) {
        answers[url] = HttpResult{status >= 200 && status < 300, status, body, ""};
    }
    std::map<std::string, HttpResult> answers;
    std::vector<std::string> requests;
    int lastTimeoutMs = 0;
};

// A back end that a test does not reach: it counts the calls and answers as a target
// that could not be reached.
class UnreachedBackend final : public SearchBackend {
  public:
    PageResult Fetch(const TargetProfile&, const SearchRequest&, CancelToken&) override {
        ++calls;
        PageResult out;
        out.status = PageStatus::kNoConnection;
        return out;
    }
    int calls = 0;
};

// The three kinds of a run, each served by the back end given.
inline BackendRegistry RegistryOf(SearchBackend& sharedCatalogue, SearchBackend& z39,
                                  SearchBackend& opac) {
    BackendRegistry r;
    r.Add(TargetKind::kSharedCatalogue, sharedCatalogue);
    r.Add(TargetKind::kZ39, z39);
    r.Add(TargetKind::kWebOpac, opac);
    return r;
}

}  // namespace z39::test
