// yazc: a console Z39.50 client on YAZ's ZOOM API. It reads commands from standard
// input (proxy, authentication, charset, querycharset, open, elements, format, f, show,
// quit), reports on
// standard output, and with -m FILE writes, after each search, the hit count as a line
// and then every presented record as one line of ISO 2709 bytes.
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <yaz/yaz-iconv.h>
#include <yaz/zoom.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/version.h"
#include "yazc_commands.h"

namespace {

struct OptionsDeleter {
    void operator()(ZOOM_options o) const { ZOOM_options_destroy(o); }
};
struct ConnectionDeleter {
    void operator()(ZOOM_connection c) const { ZOOM_connection_destroy(c); }
};
struct ResultSetDeleter {
    void operator()(ZOOM_resultset r) const { ZOOM_resultset_destroy(r); }
};
struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using Options = std::unique_ptr<std::remove_pointer_t<ZOOM_options>, OptionsDeleter>;
using Connection = std::unique_ptr<std::remove_pointer_t<ZOOM_connection>, ConnectionDeleter>;
using ResultSet = std::unique_ptr<std::remove_pointer_t<ZOOM_resultset>, ResultSetDeleter>;
using File = std::unique_ptr<FILE, FileCloser>;
struct IconvDeleter {
    void operator()(yaz_iconv_t cd) const { yaz_iconv_close(cd); }
};
using Iconv = std::unique_ptr<std::remove_pointer_t<yaz_iconv_t>, IconvDeleter>;

// The script's text (GBK) in `charset`; nothing when it cannot be converted.
std::optional<std::string> FromGbk(const std::string& text, const std::string& charset) {
    Iconv cd(yaz_iconv_open(charset.c_str(), "GBK"));
    if (!cd) return std::nullopt;
    std::string out;
    std::vector<char> buf(text.size() * 4 + 16);
    const char* in = text.data();
    size_t inLeft = text.size();
    char* dst = buf.data();
    size_t dstLeft = buf.size();
    if (yaz_iconv(cd.get(), const_cast<char**>(&in), &inLeft, &dst, &dstLeft) ==
            static_cast<size_t>(-1) ||
        yaz_iconv(cd.get(), nullptr, nullptr, &dst, &dstLeft) == static_cast<size_t>(-1))
        return std::nullopt;
    return std::string(buf.data(), static_cast<size_t>(dst - buf.data()));
}

constexpr const char* kTimeoutSeconds = "30";
constexpr const char* kDefaultSyntax = "usmarc";

class Client {
  public:
    explicit Client(FILE* marc) : marc_(marc), options_(ZOOM_options_create()) {
        ZOOM_options_set(options_.get(), "timeout", kTimeoutSeconds);
        // MARC unless a "format" command names another syntax, as the YAZ console client
        // does: a server left to choose may send a text rendering instead of the record.
        ZOOM_options_set(options_.get(), "preferredRecordSyntax", kDefaultSyntax);
    }

    void Run(const yazc::Command& c) {
        switch (c.kind) {
            case yazc::Command::kEmpty:
                break;
            case yazc::Command::kProxy:
                ZOOM_options_set(options_.get(), "proxy", c.arg1.c_str());
                break;
            case yazc::Command::kAuthentication:
                ZOOM_options_set(options_.get(), "user", c.arg1.c_str());
                ZOOM_options_set(options_.get(), "password", c.arg2.c_str());
                break;
            case yazc::Command::kOpen:
                Open(c.arg1);
                break;
            case yazc::Command::kElements:
                ZOOM_options_set(options_.get(), "elementSetName", c.arg1.c_str());
                if (conn_)
                    ZOOM_connection_option_set(conn_.get(), "elementSetName", c.arg1.c_str());
                break;
            case yazc::Command::kFormat:
                syntaxChosen_ = true;
                ZOOM_options_set(options_.get(), "preferredRecordSyntax", c.arg1.c_str());
                if (conn_)
                    ZOOM_connection_option_set(conn_.get(), "preferredRecordSyntax",
                                               c.arg1.c_str());
                break;
            case yazc::Command::kCharset:
                ZOOM_options_set(options_.get(), "charset", c.arg1.c_str());
                break;
            case yazc::Command::kQueryCharset:
                queryCharset_ = c.arg1;
                break;
            case yazc::Command::kFind:
                Find(c.arg1, std::nullopt);
                break;
            case yazc::Command::kShow:
                Show(c);
                break;
            case yazc::Command::kInit:
                ReportInit();
                break;
            case yazc::Command::kEcho:
                std::cout << "== " << c.arg1 << std::endl;
                break;
            case yazc::Command::kQuit:
                break;
            case yazc::Command::kUnknown:
                std::cout << "Unknown command: " << c.arg1 << std::endl;
                break;
        }
    }

    void Search(const std::string& query, std::optional<int64_t> piggyback) {
        Find(query, piggyback);
    }

  private:
    // The error of the connection, or false when there is none.
    bool Failed(const char* what) {
        const char* msg = nullptr;
        const char* addinfo = nullptr;
        int code = ZOOM_connection_error(conn_.get(), &msg, &addinfo);
        if (code == 0) return false;
        if (code == ZOOM_ERROR_CONNECT || code == ZOOM_ERROR_TIMEOUT ||
            code == ZOOM_ERROR_CONNECTION_LOST) {
            std::cout << "Connecting...error: " << msg
                      << (addinfo ? std::string(" ") + addinfo : "") << std::endl;
        } else if (code == ZOOM_ERROR_INIT) {
            std::cout << "Connection rejected by target: " << msg << std::endl;
        } else {
            std::cout << what << " failed: " << msg << " (" << code << ")"
                      << (addinfo ? std::string(" ") + addinfo : "") << std::endl;
        }
        return true;
    }

    void Open(const std::string& address) {
        results_.reset();
        conn_.reset(ZOOM_connection_create(options_.get()));
        ZOOM_connection_connect(conn_.get(), address.c_str(), 0);
        if (Failed("open")) {
            conn_.reset();
            return;
        }
        std::cout << "Connecting...OK" << std::endl;
    }

    // What the server said in its Init answer: who it is, the services it offers, and the
    // character set it accepted in negotiation (none when it did not negotiate).
    void ReportInit() {
        if (!conn_) {
            std::cout << "Not connected" << std::endl;
            return;
        }
        auto option = [this](const char* name) {
            const char* value = ZOOM_connection_option_get(conn_.get(), name);
            return std::string(value ? value : "");
        };
        std::cout << "Init implementation: " << option("targetImplementationName") << " | "
                  << option("targetImplementationVersion") << " | "
                  << option("targetImplementationId") << std::endl;
        std::cout << "Init services:";
        for (const char* service :
             {"search", "present", "delSet", "scan", "sort", "extendedServices", "namedResultSets",
              "negotiationModel", "concurrentOperations", "resultCount"}) {
            const std::string name = std::string("init_opt_") + service;
            const char* on = ZOOM_connection_option_get(conn_.get(), name.c_str());
            if (on && *on && std::strcmp(on, "0") != 0) std::cout << " " << service;
        }
        std::cout << std::endl;
        const std::string charset = option("negotiation-charset");
        std::cout << "Init charset: " << (charset.empty() ? "none" : charset) << std::endl;
    }

    // Searches; with `piggyback` the answer brings that many records from the first, so
    // that the show that follows needs no Present of its own.
    void Find(const std::string& query, std::optional<int64_t> piggyback) {
        results_.reset();
        hits_ = 0;
        shown_ = 0;
        if (!conn_) {
            std::cout << "Not connected" << std::endl;
        } else {
            std::optional<std::string> terms = queryCharset_.empty()
                                                   ? std::optional<std::string>(query)
                                                   : FromGbk(query, queryCharset_);
            if (!terms) {
                std::cout << "Query cannot be written in " << queryCharset_ << std::endl;
                terms = query;
            }
            if (piggyback) {
                ZOOM_connection_option_set(conn_.get(), "start", "0");
                ZOOM_connection_option_set(conn_.get(), "count",
                                           std::to_string(*piggyback).c_str());
            }
            results_.reset(ZOOM_connection_search_pqf(conn_.get(), terms->c_str()));
            // A server that cannot give the piggybacked records in the syntax asked for
            // fails the whole search: ask again in the next syntax, or, when the script
            // chose the syntax, without records, so that the show reports the refusal.
            for (size_t next = 1; piggyback && SyntaxRefused(); ++next) {
                const bool last = syntaxChosen_ || next >= std::size(yazc::kSyntaxFallbacks);
                if (last)
                    ZOOM_connection_option_set(conn_.get(), "count", "0");
                else
                    AskFor(yazc::kSyntaxFallbacks[next]);
                results_.reset(ZOOM_connection_search_pqf(conn_.get(), terms->c_str()));
                if (last) break;
            }
            ZOOM_connection_option_set(conn_.get(), "count", "0");
            if (Failed("search")) {
                results_.reset();
            } else {
                hits_ = static_cast<int64_t>(ZOOM_resultset_size(results_.get()));
            }
        }
        std::cout << "Number of hits: " << hits_ << std::endl;
        if (marc_) {
            std::fprintf(marc_, "%lld\r\n", static_cast<long long>(hits_));
            std::fflush(marc_);
        }
    }

    void Show(const yazc::Command& c) {
        if (!results_) {
            std::cout << "No result set" << std::endl;
            return;
        }
        yazc::ShowRange range = yazc::RangeToShow(c, hits_, shown_);
        if (range.n <= 0) return;
        // The whole page in one Present request; the records stay owned by the result set.
        std::vector<ZOOM_record> page(static_cast<size_t>(range.n), nullptr);
        ZOOM_resultset_records(results_.get(), page.data(), static_cast<size_t>(range.first),
                               page.size());
        if (Failed("present")) return;
        // A server that refuses the syntax asked for is asked for the next one, unless the
        // script chose one.
        for (size_t next = 1;
             !syntaxChosen_ && Refused(page) && next < std::size(yazc::kSyntaxFallbacks); ++next) {
            AskFor(yazc::kSyntaxFallbacks[next]);
            ZOOM_resultset_records(results_.get(), page.data(), static_cast<size_t>(range.first),
                                   page.size());
            if (Failed("present")) return;
        }
        for (int64_t i = 0; i < range.n; ++i)
            WriteRecord(page[static_cast<size_t>(i)], range.first + i + 1);
        if (marc_) std::fflush(marc_);
        shown_ = range.first + range.n;
    }

    // The records from now on in `syntax` ("": whatever the server offers).
    void AskFor(const char* syntax) {
        std::cout << "Syntax refused, asking for " << (*syntax ? syntax : "any") << std::endl;
        ZOOM_options_set(options_.get(), "preferredRecordSyntax", syntax);
        ZOOM_connection_option_set(conn_.get(), "preferredRecordSyntax", syntax);
        if (results_) ZOOM_resultset_option_set(results_.get(), "preferredRecordSyntax", syntax);
    }

    // True when the last request failed because the server cannot give that syntax.
    bool SyntaxRefused() {
        const char *msg = nullptr, *addinfo = nullptr;
        return yazc::IsSyntaxRefusal(ZOOM_connection_error(conn_.get(), &msg, &addinfo));
    }

    // True when a record of the page came back as a refusal of its syntax.
    static bool Refused(const std::vector<ZOOM_record>& page) {
        for (ZOOM_record rec : page) {
            const char *msg = nullptr, *addinfo = nullptr, *diagset = nullptr;
            if (rec && yazc::IsSyntaxRefusal(ZOOM_record_error(rec, &msg, &addinfo, &diagset)))
                return true;
        }
        return false;
    }

    // One presented record to the record file; anything else is reported, never written.
    void WriteRecord(ZOOM_record rec, int64_t position) {
        if (!rec) {
            std::cout << "Record " << position << ": not returned" << std::endl;
            return;
        }
        const char* msg = nullptr;
        const char* addinfo = nullptr;
        const char* diagset = nullptr;
        if (int code = ZOOM_record_error(rec, &msg, &addinfo, &diagset)) {
            std::cout << "Record " << position << ": diagnostic " << code << " " << (msg ? msg : "")
                      << (addinfo && *addinfo ? std::string(" ") + addinfo : "") << std::endl;
            return;
        }
        int len = 0;
        const char* raw = ZOOM_record_get(rec, "raw", &len);
        std::string_view bytes(raw ? raw : "", raw && len > 0 ? static_cast<size_t>(len) : 0);
        if (!yazc::IsIso2709(bytes)) {
            const char* syntax = ZOOM_record_get(rec, "syntax", nullptr);
            std::cout << "Record " << position << ": not MARC (syntax "
                      << (syntax && *syntax ? syntax : "unknown") << ")" << std::endl;
            return;
        }
        std::string line = yazc::RecordLine(bytes);
        if (marc_) {
            std::fwrite(line.data(), 1, line.size(), marc_);
            std::fputs("\r\n", marc_);
        }
        const char* syntax = ZOOM_record_get(rec, "syntax", nullptr);
        std::cout << "Record " << position << " presented (syntax "
                  << (syntax && *syntax ? syntax : "unknown") << ")" << std::endl;
    }

    FILE* marc_;
    Options options_;
    Connection conn_;
    ResultSet results_;
    int64_t hits_ = 0;
    int64_t shown_ = 0;
    bool syntaxChosen_ = false;
    std::string queryCharset_;
};

constexpr const char* kHelp =
    "usage: yazc [-m FILE] < SCRIPT\n"
    "\n"
    "A console Z39.50 client (YAZ's ZOOM). It reads one command per line from standard\n"
    "input and reports on standard output:\n"
    "  proxy HOST:PORT             connect through a Z39.50 proxy\n"
    "  authentication USER PASS    send a user and password with the next open\n"
    "  charset NAME                negotiate the character set\n"
    "  querycharset NAME           send query terms converted from GBK to NAME\n"
    "  open HOST:PORT[/DATABASE]   connect\n"
    "  elements NAME               element set (F: full records)\n"
    "  format NAME                 record syntax (USMARC, UNIMARC, ...)\n"
    "  f QUERY                     search (a prefix query, e.g. @attr 1=4 title)\n"
    "  show [START+COUNT]          present records (without a range: the next one)\n"
    "  init                        report the server's Init answer\n"
    "  echo TEXT                   print == TEXT (marks the reports that follow)\n"
    "  quit\n"
    "With -m FILE, each search writes its hit count as a line of FILE and each record\n"
    "shown as one more line of ISO 2709 bytes. See yazc(1).\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::cout << kHelp;
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << "yazc " << z39::kVersion << "\n";
        return 0;
    }
    // Whoever started us (the client, z39batch) waits for our answer: if it is gone, even
    // killed outright, no one will read it, and we end too instead of talking on.
    const pid_t parent = ::getppid();
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) return 1;
    File marc;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-m") == 0 && i + 1 < argc) {
            // The record file is the caller's working file: a link planted there is not
            // followed.
            int fd = ::open(argv[++i], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (fd >= 0) {
                marc.reset(::fdopen(fd, "wb"));
                if (!marc) ::close(fd);
            }
            if (!marc) {
                std::cout << "Cannot open record file " << argv[i] << std::endl;
                return 1;
            }
        }
    }
    // The whole script first: a search then knows the show that follows it.
    std::vector<yazc::Command> script;
    std::string line;
    while (std::getline(std::cin, line)) script.push_back(yazc::ParseCommand(line));
    Client client(marc.get());
    for (size_t i = 0; i < script.size(); ++i) {
        const yazc::Command& c = script[i];
        if (c.kind == yazc::Command::kQuit) break;
        if (c.kind == yazc::Command::kFind)
            client.Search(c.arg1, yazc::PiggybackCount(script, i));
        else
            client.Run(c);
    }
    return 0;
}
