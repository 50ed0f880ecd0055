#include "backends/kind_probes.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <map>
#include <memory>

#include "backends/external_z39.h"
#include "backends/shared_catalogue.h"
#include "backends/sru.h"
#include "common/file_util.h"
#include "common/gbk_text.h"
#include "common/paths.h"
#include "common/z39_error.h"
#include "records/marc_charset.h"
#include "records/marc_record.h"

namespace z39 {
namespace {

bool IsAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The host and port of an http(s) address; false when it has none.
bool HostPortOfUrl(const std::string& url, std::string& host, int& port) {
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos) return false;
    std::string hostPort = url.substr(scheme + 3);
    hostPort = hostPort.substr(0, hostPort.find_first_of("/?#"));
    port = LowerAscii(url.substr(0, scheme)) == "https" ? 443 : 80;
    host = hostPort;
    if (hostPort.starts_with("[")) {  // [IPv6]:port
        const size_t close = hostPort.find(']');
        if (close == std::string::npos) return false;
        host = hostPort.substr(1, close - 1);
        if (close + 1 < hostPort.size() && hostPort[close + 1] == ':')
            port = static_cast<int>(ToNumber64(hostPort.substr(close + 2)).value_or(port));
    } else if (size_t colon = hostPort.rfind(':'); colon != std::string::npos) {
        host = hostPort.substr(0, colon);
        port = static_cast<int>(ToNumber64(hostPort.substr(colon + 1)).value_or(port));
    }
    return !host.empty();
}

// --- Z39.50 ---------------------------------------------------------------------------

// What the external client reported for one marked part of a script.
struct Section {
    int64_t hits = -1;
    int diagnostic = 0;  // Bib-1 diagnostic of a refused search
    std::string diagnosticText;
    std::string syntax;  // the syntax the first record came back in
    int recordDiagnostic = 0;
    std::string recordDiagnosticText;
};

// The client's report: what came before the first mark (the connection, the Init answer)
// and each marked part.
struct ClientReport {
    std::vector<std::string> head;
    std::map<std::string, Section> sections;
    std::string implementation, services, charset;
    bool connected = false;
};

// "MSG (CODE) ADDINFO": the code, and the text without it.
int DiagnosticCode(const std::string& text) {
    for (size_t open = text.rfind('('); open != std::string::npos && open > 0;
         open = text.rfind('(', open - 1)) {
        size_t close = text.find(')', open);
        if (close == std::string::npos) continue;
        if (auto n = ToNumber64(text.substr(open + 1, close - open - 1)))
            return static_cast<int>(*n);
        if (open == 0) break;
    }
    return 0;
}

ClientReport ReadClientReport(const std::string& text) {
    ClientReport out;
    Section* current = nullptr;
    for (std::string line : TextLines(text)) {
        line = Trim(line);
        if (line.starts_with("== ")) {
            current = &out.sections[line.substr(3)];
            continue;
        }
        if (line == "Connecting...OK") out.connected = true;
        if (line.starts_with("Init implementation: ")) {
            std::string rest = line.substr(21);
            std::string name = Trim(rest.substr(0, rest.find('|')));
            rest = rest.find('|') == std::string::npos ? "" : rest.substr(rest.find('|') + 1);
            std::string version = Trim(rest.substr(0, rest.find('|')));
            out.implementation = name + (version.empty() ? "" : " " + version);
        } else if (line.starts_with("Init services:")) {
            out.services = Trim(line.substr(14));
        } else if (line.starts_with("Init charset: ")) {
            out.charset = line.substr(14) == "none" ? "" : line.substr(14);
        }
        if (!current) {
            out.head.push_back(line);
            continue;
        }
        if (line.starts_with("Number of hits: ")) {
            current->hits = ToNumber64(line.substr(16)).value_or(0);
        } else if (line.starts_with("search failed: ")) {
            current->diagnosticText = line.substr(15);
            current->diagnostic = DiagnosticCode(current->diagnosticText);
        } else if (line.starts_with("Record 1 presented (syntax ")) {
            current->syntax = line.substr(27, line.size() - 28);
        } else if (line.starts_with("Record 1: diagnostic ")) {
            current->recordDiagnosticText = line.substr(21);
            current->recordDiagnostic =
                static_cast<int>(ToNumber64(line.substr(21, line.find(' ', 21) - 21)).value_or(0));
        }
    }
    return out;
}

// The records file of a script whose finds are each followed by one show: per find in
// order, its records.
std::vector<std::vector<std::string>> ReadRecordsByFind(const std::string& path) {
    std::vector<std::vector<std::string>> out;
    for (std::string line : TextLines(ReadWholeFile(path, Links::refuse).value_or(""))) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (ToNumber64(line)) {
            out.emplace_back();
        } else if (!out.empty()) {
            out.back().push_back(line);
        }
    }
    return out;
}

std::string UpperSyntax(std::string syntax) {
    for (char& c : syntax) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return syntax;
}

// A PQF term in quotes (quotes inside dropped).
std::string Term(const std::string& value) {
    std::string out;
    for (char c : value)
        if (c != '"') out += c;
    return "\"" + out + "\"";
}

class Z39Probe {
  public:
    Z39Probe(const ProbeContext& c, const TargetProfile& t, ProbeReport& r)
        : c_(c), t_(t), r_(r), files_(Z39WorkFilesIn(c.workFolder)) {}

    void Run() {
        const auto port = ToNumber64(t_.entry.port);
        if (!port || *port < 1 || *port > 65535) {
            r_.Fail(G("端口[") + t_.entry.port + G("]不是1到65535之间的数字"));
            return;
        }
        if (!ProbeReach(c_, t_.entry.address, static_cast<int>(*port), r_)) return;
        // The Init answer, with a proposal of UTF-8 to see whether it negotiates.
        ClientReport init;
        if (!RunClient({"charset UTF-8"}, {"init"}, init)) return;
        if (!Admitted(init)) return;
        r_.implementation = init.implementation;
        for (const std::string& s : Words(init.services))
            if (s != "negotiationModel") r_.services.push_back(s);
        r_.negotiatedCharset = init.charset;
        r_.Note(G("Init：") + init.implementation + G("；服务：") + init.services +
                G("；字符集协商：") + (init.charset.empty() ? G("不支持") : init.charset));
        FindARecord();
        AskFieldsAndSyntaxes();
        Suggest();
    }

  private:
    static std::vector<std::string> Words(const std::string& text) {
        std::vector<std::string> out;
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find(' ', pos);
            if (end == std::string::npos) end = text.size();
            if (end > pos) out.push_back(text.substr(pos, end - pos));
            pos = end + 1;
        }
        return out;
    }

    // Runs the client on `pre` lines, open, then `body`; false (the failure noted) when it
    // could not run or ran out of time.
    bool RunClient(const std::vector<std::string>& pre, const std::vector<std::string>& body,
                   ClientReport& out, std::vector<std::vector<std::string>>* records = nullptr) {
        std::string script;
        if (c_.settings.PROXYSIGN == 1)
            script += "proxy " + c_.settings.PROXYIP + ":" + c_.settings.PROXYPORT + "\r\n";
        if (t_.entry.auth == "1")
            script += "authentication " + t_.entry.username + " " + t_.entry.userpass + "\r\n";
        for (const auto& line : pre) script += line + "\r\n";
        script +=
            "open " + t_.entry.address + ":" + t_.entry.port + "/" + t_.entry.database + "\r\n";
        script += "elements F\r\n";
        for (const auto& line : body) script += line + "\r\n";
        script += "quit\r\n";
        DeleteFileIfExists(files_.marc);
        if (!ReplaceFileAtomically(files_.script, script))
            throw Z39Error(G("文件[") + files_.script + G("]无法写入！"));
        int exitStatus = 0;
        const RunStatus status =
            c_.runner.Run(ProcessRunner::QuoteWord(c_.clientPath) + " -m " +
                              ProcessRunner::QuoteWord(files_.marc),
                          files_.script, files_.message, G("错误！"), &c_.cancel, &exitStatus);
        if (status == RunStatus::kNotStarted) {
            r_.Fail(G("检索程序yazc无法运行：") + c_.clientPath);
            return false;
        }
        if (status != RunStatus::kFinished) {
            r_.Fail(G("服务器没有在限定时间内应答"));
            return false;
        }
        out = ReadClientReport(ReadWholeFile(files_.message, Links::refuse).value_or(""));
        if (records) *records = ReadRecordsByFind(files_.marc);
        return true;
    }

    // Whether the server let us in; notes why not.
    bool Admitted(const ClientReport& report) {
        if (report.connected) return true;
        std::string said;
        for (const auto& line : report.head)
            if (!line.empty()) {
                said = line;
                break;
            }
        const int code = DiagnosticCode(said);
        if (said.starts_with("Connection rejected") || said.find("Init/AC") != std::string::npos ||
            (code >= 1010 && code <= 1023)) {
            r_.authenticationNeeded = t_.entry.auth != "1";
            r_.Fail((t_.entry.auth == "1" ? G("服务器拒绝了用户名和密码：")
                                          : G("服务器要求用户名和密码：")) +
                    said);
        } else {
            r_.Fail(G("Z39.50连接失败：") + said);
        }
        return false;
    }

    // A record of the server's own, from the first of some broad searches that finds one.
    void FindARecord() {
        const std::vector<std::pair<std::string, std::string>> queries = {
            {"", "@attr 1=_ALLRECORDS @attr 2=103 \"\""},
            {"", "@attr 1=4 " + G("中国")},
            {"UTF-8", "@attr 1=4 " + G("中国")},
            {"", "@attr 1=1016 the"},
            {"", "@attr 1=4 the"},
            {"", "@attr 1=1016 a"}};
        std::vector<std::string> body;
        std::string charset;
        for (size_t i = 0; i < queries.size(); ++i) {
            if (queries[i].first != charset) {
                charset = queries[i].first;
                body.push_back("querycharset " + (charset.empty() ? std::string("GBK") : charset));
            }
            body.push_back("echo any" + std::to_string(i));
            body.push_back("f " + queries[i].second);
            body.push_back("show 1+1");
        }
        ClientReport report;
        std::vector<std::vector<std::string>> records;
        if (!RunClient({}, body, report, &records) || !Admitted(report)) return;
        for (size_t i = 0; i < queries.size() && i < records.size(); ++i) {
            const Section& s = report.sections["any" + std::to_string(i)];
            if (s.hits <= 0 || records[i].empty()) continue;
            sampleQuery_ = queries[i];
            // Whatever syntax the server chose when USMARC was refused counts too.
            if (!s.syntax.empty()) r_.syntaxes.push_back(UpperSyntax(s.syntax));
            TakeSample(records[i].front(), s.syntax);
            r_.Note(G("检索[") + queries[i].second + G("]命中") + std::to_string(s.hits) +
                    G("条，第一条记录的格式：") + UpperSyntax(s.syntax));
            return;
        }
        r_.Note(G("几种宽泛的检索都没有得到记录，无法判断记录格式和字符集"));
    }

    void TakeSample(const std::string& raw, const std::string& syntax) {
        std::string why;
        RecordCharset decided = RecordCharset::kGbk;
        int references = 0;
        std::optional<std::string> gbk =
            ConvertRecordToGbk(raw, std::nullopt, &references, &why, &decided);
        if (!IsAscii(raw) && (decided != RecordCharset::kGbk || !IsValidUtf8(raw))) {
            r_.recordCharset = CharsetName(decided);
            r_.Note(G("记录的字符集（由记录的字节判断）：") + r_.recordCharset);
        } else if (IsAscii(raw)) {
            r_.Note(G("记录只有ASCII字符，看不出字符集"));
        }
        if (!gbk) return;
        sample_ = *gbk;
        // MARC21 keeps the title in 245, UNIMARC and CNMARC in 200, whatever syntax name the
        // server put on the record.
        bool has200 = false, has245 = false;
        for (const auto& f : ReadFields(sample_).fields) {
            has200 = has200 || f.tag == "200";
            has245 = has245 || f.tag == "245";
        }
        marc21_ = has245 || (!has200 && (IsMarc21(raw) || UpperSyntax(syntax) == "USMARC"));
        r_.sampleTerm = TitleWord(Value(marc21_ ? "245" : "200", 'a'));
    }

    // The first subfield `code` of the sample's first field `tag` (GBK).
    std::string Value(const std::string& tag, char code) const {
        for (const auto& f : ReadFields(sample_).fields)
            if (f.tag == tag) return Trim(Subfield(f.data, code));
        return {};
    }

    // A word to search titles by: the first run of Chinese characters (at most four), else
    // the first word of three letters or more.
    static std::string TitleWord(const std::string& title) {
        std::string chinese;
        for (size_t i = 0; i + 1 < title.size();) {
            const bool wide = IsGbkLead(static_cast<unsigned char>(title[i]));
            if (wide && chinese.size() < 8) {
                chinese += title.substr(i, 2);
                i += 2;
                continue;
            }
            if (!chinese.empty()) break;
            i += wide ? 2 : 1;
        }
        if (chinese.size() >= 4) return chinese;
        std::string word;
        for (char ch : title + " ") {
            if (std::isalnum(static_cast<unsigned char>(ch))) {
                word += ch;
            } else {
                if (word.size() >= 3) return word;
                word.clear();
            }
        }
        return {};
    }

    // What each field is searched with: a value of the sample when it has one.
    std::string FieldValue(int use) const {
        std::string v;
        switch (use) {
            case 7:
                v = Value(marc21_ ? "020" : "010", 'a');
                v = v.substr(0, v.find(' '));
                return v.empty() ? "9787536692930" : v;
            case 8:
                v = Value(marc21_ ? "022" : "011", 'a');
                return v.empty() ? "1000-0000" : v.substr(0, v.find(' '));
            case 4:
                return r_.sampleTerm.empty() ? "the" : r_.sampleTerm;
            case 1003:
                v = marc21_ ? Value("100", 'a') : Value("701", 'a');
                if (v.empty()) v = Value(marc21_ ? "700" : "200", marc21_ ? 'a' : 'f');
                return v.empty() ? "smith" : TitleWord(v).empty() ? v : TitleWord(v);
            case 1018:
                v = Value(marc21_ ? "260" : "210", marc21_ ? 'b' : 'c');
                return v.empty() ? "press" : TitleWord(v).empty() ? v : TitleWord(v);
            case 31: {
                v = Value(marc21_ ? "260" : "210", marc21_ ? 'c' : 'd');
                std::string digits;
                for (char ch : v)
                    if (std::isdigit(static_cast<unsigned char>(ch)) && digits.size() < 4)
                        digits += ch;
                return digits.size() == 4 ? digits : "2000";
            }
        }
        return "a";
    }

    void AskFieldsAndSyntaxes() {
        std::vector<std::string> body;
        const std::string& word = r_.sampleTerm;
        const bool chineseWord = !word.empty() && !IsAscii(word);
        if (chineseWord) {
            body.insert(body.end(),
                        {"querycharset GBK", "echo cs-gbk", "f @attr 1=4 " + Term(word),
                         "querycharset UTF-8", "echo cs-utf8", "f @attr 1=4 " + Term(word)});
        }
        for (const ProbeField& f : ProbeFields()) {
            const std::string value = FieldValue(f.use);
            const std::string find = "f @attr 1=" + std::to_string(f.use) + " " + Term(value);
            body.insert(body.end(),
                        {"querycharset GBK", "echo field" + std::to_string(f.use) + "-g", find});
            if (!IsAscii(value))
                body.insert(body.end(), {"querycharset UTF-8",
                                         "echo field" + std::to_string(f.use) + "-u", find});
        }
        if (!sampleQuery_.second.empty()) {
            body.push_back("querycharset " +
                           (sampleQuery_.first.empty() ? std::string("GBK") : sampleQuery_.first));
            for (const char* syntax : {"usmarc", "unimarc", "cnmarc"}) {
                body.push_back(std::string("echo syntax-") + syntax);
                body.push_back(std::string("format ") + syntax);
                body.push_back("f " + sampleQuery_.second);
                body.push_back("show 1+1");
            }
        }
        ClientReport report;
        if (!RunClient({}, body, report) || !Admitted(report)) return;
        if (chineseWord) ReadQueryCharset(report.sections["cs-gbk"], report.sections["cs-utf8"]);
        for (const ProbeField& f : ProbeFields()) {
            FieldProbe probe;
            probe.field = f.field;
            probe.index = "1=" + std::to_string(f.use);
            for (const char* form : {"-g", "-u"}) {
                auto hit = report.sections.find("field" + std::to_string(f.use) + form);
                if (hit != report.sections.end()) Judge(hit->second, probe);
            }
            r_.fields.push_back(probe);
        }
        if (!sampleQuery_.second.empty()) {
            for (const char* syntax : {"usmarc", "unimarc", "cnmarc"}) {
                const Section& s = report.sections[std::string("syntax-") + syntax];
                const std::string asked = UpperSyntax(syntax);
                if (!s.syntax.empty()) {
                    const std::string got = UpperSyntax(s.syntax);
                    if (std::find(r_.syntaxes.begin(), r_.syntaxes.end(), got) == r_.syntaxes.end())
                        r_.syntaxes.push_back(got);
                    r_.Note(G("要") + asked + G("，得到") + got);
                } else {
                    r_.refusedSyntaxes.push_back(asked);
                    const std::string why =
                        !s.recordDiagnosticText.empty() ? s.recordDiagnosticText : s.diagnosticText;
                    r_.Note(G("要") + asked + G("，没有得到记录") +
                            (why.empty() ? "" : G("：") + why));
                }
            }
        }
    }

    // The better of what a field's searches gave.
    static void Judge(const Section& s, FieldProbe& probe) {
        FieldState state = FieldState::kRefused;
        std::string evidence;
        if (s.hits > 0 && s.diagnostic == 0) {
            state = FieldState::kFound;
            evidence = G("命中") + std::to_string(s.hits) + G("条");
        } else if (s.diagnostic == 0 && s.hits == 0) {
            state = FieldState::kAccepted;
            evidence = G("命中0条");
        } else if (s.diagnostic == 114) {
            state = FieldState::kUnsupported;
            evidence = s.diagnosticText;
        } else {
            evidence = s.diagnosticText.empty() ? G("没有回答") : s.diagnosticText;
        }
        auto rank = [](FieldState st) {
            switch (st) {
                case FieldState::kFound:
                    return 4;
                case FieldState::kAccepted:
                    return 3;
                case FieldState::kUnsupported:
                    return 2;
                case FieldState::kRefused:
                    return 1;
                default:
                    return 0;
            }
        };
        if (rank(state) > rank(probe.state)) {
            probe.state = state;
            probe.evidence = evidence;
        }
    }

    void ReadQueryCharset(const Section& gbk, const Section& utf8) {
        auto said = [](const Section& s) {
            return s.diagnostic
                       ? s.diagnosticText
                       : G("命中") + std::to_string(std::max<int64_t>(0, s.hits)) + G("条");
        };
        r_.Note(G("题名检索词[") + r_.sampleTerm + G("]以GBK发送：") + said(gbk) +
                G("；以UTF-8发送：") + said(utf8));
        const bool g = gbk.hits > 0 && gbk.diagnostic == 0,
                   u = utf8.hits > 0 && utf8.diagnostic == 0;
        if (u && !g) r_.queryCharset = "UTF-8";
        if (g && !u) r_.queryCharset = "GBK";
    }

    void Suggest() {
        r_.suggestedCharset = !r_.queryCharset.empty() ? r_.queryCharset : r_.recordCharset;
        const bool usmarcRefused = std::find(r_.refusedSyntaxes.begin(), r_.refusedSyntaxes.end(),
                                             "USMARC") != r_.refusedSyntaxes.end();
        if (usmarcRefused) {
            for (const char* other : {"UNIMARC", "CNMARC"})
                if (std::find(r_.syntaxes.begin(), r_.syntaxes.end(), other) != r_.syntaxes.end()) {
                    r_.suggestedSyntax = other;
                    break;
                }
        }
    }

    const ProbeContext& c_;
    const TargetProfile& t_;
    ProbeReport& r_;
    Z39WorkFiles files_;
    std::pair<std::string, std::string> sampleQuery_;  // query charset ("": GBK), query
    std::string sample_;                               // the sample record in GBK
    bool marc21_ = false;
};

// --- SRU ------------------------------------------------------------------------------

struct XmlDocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};

std::string Text(const xmlNode* node) {
    xmlChar* text = xmlNodeGetContent(node);
    std::string out = text ? reinterpret_cast<const char*>(text) : "";
    xmlFree(text);
    return Trim(out);
}

std::string Attribute(const xmlNode* node, const char* name) {
    xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
    std::string out = value ? reinterpret_cast<const char*>(value) : "";
    xmlFree(value);
    return out;
}

bool Named(const xmlNode* node, const char* name) {
    return node->type == XML_ELEMENT_NODE &&
           xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

// The explain record's indexes ("set.name") and schemas.
void ReadExplain(const xmlNode* node, ProbeReport& r) {
    for (; node; node = node->next) {
        if (Named(node, "index")) {
            for (const xmlNode* map = node->children; map; map = map->next) {
                if (!Named(map, "map")) continue;
                for (const xmlNode* name = map->children; name; name = name->next) {
                    if (!Named(name, "name")) continue;
                    const std::string set = Attribute(name, "set");
                    const std::string index = (set.empty() ? "" : set + ".") + Text(name);
                    if (std::find(r.sruIndexes.begin(), r.sruIndexes.end(), index) ==
                        r.sruIndexes.end())
                        r.sruIndexes.push_back(index);
                }
            }
            continue;
        }
        if (Named(node, "schema")) {
            const std::string name = Attribute(node, "name");
            if (!name.empty()) r.sruSchemas.push_back(name);
            const std::string id = Attribute(node, "identifier");
            if (name.find("marcxml") != std::string::npos ||
                id.find("marcxml") != std::string::npos)
                r.sruMarcxml = true;
            continue;
        }
        ReadExplain(node->children, r);
    }
}

// The index of the explain record that searches `field`, when the usual one is not there:
// a name ending in the field's own word.
std::string ExplainedIndexFor(const ProbeReport& r, const std::string& usual,
                              const std::vector<std::string>& words) {
    if (r.sruIndexes.empty() ||
        std::find(r.sruIndexes.begin(), r.sruIndexes.end(), usual) != r.sruIndexes.end())
        return {};
    for (const std::string& word : words)
        for (const std::string& index : r.sruIndexes) {
            const size_t dot = index.rfind('.');
            const std::string tail = dot == std::string::npos ? index : index.substr(dot + 1);
            if (tail == word) return index;
        }
    return {};
}

}  // namespace

void ProbeZ39Target(const ProbeContext& context, const TargetProfile& target, ProbeReport& report) {
    Z39Probe(context, target, report).Run();
}

void ProbeSruTarget(const ProbeContext& context, const TargetProfile& target, ProbeReport& report) {
    std::string url = SruSearchUrl(target.entry, "x", 1, 0);
    const std::string base = url.substr(0, url.find('?'));
    std::string host;
    int port = 80;
    if (!HostPortOfUrl(base, host, port)) {
        report.Fail(G("地址[") + target.entry.address + G("]不是SRU地址"));
        return;
    }
    if (!ProbeReach(context, host, port, report)) return;
    HttpResult explain = context.http.Get(base + "?version=1.1&operation=explain",
                                          context.remainingMs(), &context.cancel);
    if (!explain.ok) {
        report.Note(G("explain请求失败：") + explain.error);
    } else {
        std::unique_ptr<xmlDoc, XmlDocFree> doc(
            xmlReadMemory(explain.body.data(), static_cast<int>(explain.body.size()), nullptr,
                          nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
        if (!doc) {
            report.Note(G("explain的回答不是XML"));
        } else {
            ReadExplain(xmlDocGetRootElement(doc.get()), report);
            report.Note(G("explain：") + std::to_string(report.sruIndexes.size()) + G("个索引，") +
                        std::to_string(report.sruSchemas.size()) + G("种记录格式") +
                        (report.sruMarcxml ? G("（有marcxml）") : G("（没有marcxml）")));
        }
    }
    report.syntaxes = report.sruMarcxml || report.sruSchemas.empty()
                          ? std::vector<std::string>{"MARCXML"}
                          : std::vector<std::string>{};
    report.recordCharset = "UTF-8";  // XML in UTF-8 by SRU's rule
    // The form's fields, each by the index the target list names or the usual one.
    for (const ProbeField& f : ProbeFields()) {
        FieldProbe probe;
        probe.field = f.field;
        probe.index = CqlIndexFor(f.field, target.sru);
        const std::string term = f.use == 7 ? "9787536692930" : f.use == 31 ? "2000" : "a";
        HttpResult answer = context.http.Get(
            SruSearchUrl(target.entry, probe.index + "=" + QuoteCqlTerm(term), 1, 1),
            context.remainingMs(), &context.cancel);
        std::optional<SruResponse> parsed =
            answer.ok ? ParseSruResponse(answer.body, 1) : std::nullopt;
        if (!parsed) {
            probe.state = FieldState::kRefused;
            probe.evidence = answer.ok ? G("回答不是SRU") : answer.error;
        } else if (!parsed->diagnostics.empty()) {
            const SruDiagnostic& d = parsed->diagnostics.front();
            const bool unsupported = d.uri.ends_with("/16") || d.uri.ends_with("/15");
            probe.state = unsupported ? FieldState::kUnsupported : FieldState::kRefused;
            probe.evidence = Utf8ToGbk(SruDiagnosticText(d));
        } else {
            probe.state = parsed->numberOfRecords > 0 ? FieldState::kFound : FieldState::kAccepted;
            probe.evidence = G("命中") + std::to_string(parsed->numberOfRecords) + G("条");
        }
        // A usual index the server lacks, where the explain record names its own.
        if (!probe.searchable()) {
            static const std::map<std::string, std::vector<std::string>> words = {
                {"isbn", {"isbn"}},           {"issn", {"issn"}},
                {"title", {"title"}},         {"author", {"creator", "author", "name"}},
                {"publisher", {"publisher"}}, {"date", {"date", "year"}}};
            const std::string own = ExplainedIndexFor(report, probe.index, words.at(f.sruKey));
            if (!own.empty()) report.suggestedIndexes[f.sruKey] = own;
        }
        report.fields.push_back(probe);
        if (context.cancel.cancelled()) break;
    }
}

void ProbeSharedCatalogue(const ProbeContext& context, const TargetProfile& target,
                          ProbeReport& report) {
    std::string host;
    if (Trim(target.entry.port).starts_with("-")) {
        // Found once for the run, as the search window finds it.
        std::lock_guard<std::mutex> lock(context.memory.DiscoveryLock());
        host = GetTesmarkIPAddr(context.settings, context.memory.DiscoveredHost(), context.http,
                                &context.cancel);
        if (host.empty()) {
            report.Fail(G("[") + context.settings.KSIP +
                        G("/hosts.txt]没有给出共享编目数据库的地址"));
            return;
        }
        context.memory.SetDiscoveredHost(host);
        report.discoveredHost = host;
    }
    const KsEndpoint endpoint = ResolveKsEndpoint(host, target.entry);
    ProbeReach(context, endpoint.host, endpoint.port + (context.settings.KSUSEHTTP == 1 ? 1 : 0),
               report);
}

void ProbeWebOpac(const ProbeContext& context, const TargetProfile&, ProbeReport& report) {
    std::string host;
    int port = 80;
    const std::string base = Trim(context.settings.OPACURL).empty() ? std::string(kDefaultOpacUrl)
                                                                    : context.settings.OPACURL;
    if (HostPortOfUrl(base, host, port)) ProbeReach(context, host, port, report);
}

}  // namespace z39
