#pragma once

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/gbk_text.h"
#include "records/marc_record.h"

namespace z39::test {

// Renders a CNMARC record (GBK) as an Aleph full-record page in UTF-8: one block per field,
// a "nowrap>" label cell (tag and indicators) and a "class=td1>" value cell in which each
// subfield is "|", its code, "&nbsp;" and its text.
inline std::string AlephRecordPage(const std::string& record) {
    std::string page =
        "<html><body><table>\n<!-- filename: full-000-body -->\n"
        "<tr><td class=td1 id=bold nowrap>FMT</td><td class=td1>BK</td></tr>\n";
    for (const auto& field : ReadFields(record).fields) {
        std::string label, value;
        std::string data = field.data;
        if (!data.empty() && data.back() == '\x1E') data.pop_back();
        if (field.tag < "010") {
            label = field.tag;
            value = data;
        } else {
            label = field.tag + data.substr(0, 2);
            std::string rest = data.size() > 2 ? data.substr(2) : "";
            for (char c : rest) {
                if (c == '\x1F') {
                    value += " |";
                } else {
                    value += c;
                }
            }
            // "|a" then the text: put &nbsp; after each code, as the catalogue does.
            std::string spaced;
            for (size_t i = 0; i < value.size(); ++i) {
                spaced += value[i];
                if (value[i] == '|' && i + 1 < value.size()) {
                    spaced += value[++i];
                    spaced += "&nbsp;";
                }
            }
            value = spaced;
        }
        page +=
            "<!-- filename: full-000-body -->\n<tr>\n<td class=td1 id=bold width=\"15%\" "
            "valign=top nowrap>" +
            GbkToUtf8(label) + "</td>\n<td class=td1>" + GbkToUtf8(value) + "</td>\n</tr>\n";
    }
    return page + "</table></body></html>";
}

// An OPAC-like catalogue on a free loopback port: start page with form1, find-m result
// pages and full-record pages.
class OpacServer {
  public:
    enum class SetNumberStyle { kSetNumberLabel, kOnclickOnly, kNone };

    explicit OpacServer(std::vector<std::string> records) : records_(std::move(records)) {
        server_.Get("/F", [this](const httplib::Request& req, httplib::Response& res) {
            Note(req);
            res.set_content(startPage, "text/html; charset=UTF-8");
        });
        server_.Get("/F/SESSION-1", [this](const httplib::Request& req, httplib::Response& res) {
            Note(req);
            if (req.get_param_value("func") == "find-m") {
                res.set_content(ResultPage(), "text/html; charset=UTF-8");
                return;
            }
            size_t entry = static_cast<size_t>(std::atoi(req.get_param_value("set_entry").c_str()));
            if (recordDelayMs)
                std::this_thread::sleep_for(std::chrono::milliseconds(recordDelayMs(entry)));
            std::string page =
                entry >= 1 && entry <= records_.size() ? AlephRecordPage(records_[entry - 1]) : "";
            if (!pageOverride.empty()) page = pageOverride;
            if (recordPage) page = recordPage(entry);
            if (recordStatus) res.status = recordStatus(entry);
            if (streamedPageBytes > 0) {
                // Sent in pieces, so that a huge page costs this server no memory.
                res.set_content_provider(streamedPageBytes, "text/html; charset=UTF-8",
                                         [](size_t offset, size_t length, httplib::DataSink& sink) {
                                             static const std::string piece(64 * 1024, 'x');
                                             (void)offset;
                                             return sink.write(piece.data(),
                                                               std::min(length, piece.size()));
                                         });
                return;
            }
            res.set_content(page, "text/html; charset=UTF-8");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        startPage = "<html><form name=\"form1\" method=GET action=\"" + Base() +
                    "/SESSION-1\">\n<input></form>";
    }
    ~OpacServer() {
        server_.stop();
        thread_.join();
    }
    OpacServer(const OpacServer&) = delete;
    OpacServer& operator=(const OpacServer&) = delete;

    std::string Base() const { return "http://127.0.0.1:" + std::to_string(port_) + "/F"; }
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    void ClearRequests() {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.clear();
        connections_.clear();
        keepAlive_ = 0;
    }
    // The client's port of each request, in the order of Requests(): one port, one
    // connection.
    std::vector<int> Connections() {
        std::lock_guard<std::mutex> lock(mutex_);
        return connections_;
    }
    // How many requests asked to keep their connection open.
    int KeepAliveRequests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return keepAlive_;
    }
    // Closes every connection after its first answer, as a server without keep-alive does.
    void CloseEachConnection() { server_.set_keep_alive_max_count(1); }

    std::string startPage;
    SetNumberStyle style = SetNumberStyle::kSetNumberLabel;
    std::string setNumberText = "002351";
    int reportedHits = -1;  // -1: the number of records
    // How long the page of an entry (1-based) takes to answer; none when not set.
    std::function<int(size_t entry)> recordDelayMs;
    bool hitMarker = true;
    std::string pageOverride;  // served for every record page when set
    // The page and the HTTP status of an entry's record page, when set.
    std::function<std::string(size_t entry)> recordPage;
    std::function<int(size_t entry)> recordStatus;
    size_t streamedPageBytes = 0;  // every record page this many bytes of filler, when set

  private:
    void Note(const httplib::Request& req) {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(req.target);
        connections_.push_back(req.remote_port);
        if (req.get_header_value("Connection") == "Keep-Alive") ++keepAlive_;
    }
    std::string ResultPage() {
        std::string page = "<html><body>";
        if (style == SetNumberStyle::kSetNumberLabel)
            page += "<!-- SET-NUMBER:" + setNumberText + " -->";
        if (style == SetNumberStyle::kOnclickOnly)
            page += "<a href=# onclick=\"var setno=''==''?'" + std::string("0-") + setNumberText +
                    "';\">x</a>";
        int hits = reportedHits < 0 ? static_cast<int>(records_.size()) : reportedHits;
        if (hitMarker) page += "<td>第         1 条记录(共 " + std::to_string(hits) + " 条)</td>";
        return page + "</body></html>";
    }

    std::vector<std::string> records_;
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> requests_;
    std::vector<int> connections_;
    int keepAlive_ = 0;
};

}  // namespace z39::test
