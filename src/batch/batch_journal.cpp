#include "batch/batch_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "common/file_util.h"
#include "common/gbk_text.h"

namespace z39 {
namespace {

constexpr const char* kMagic = "z39batch journal 1";

std::string Checksum(std::string_view text) {
    uint64_t h = 1469598103934665603ULL;  // FNV-1a
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    char buf[20];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

std::string Hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string Unhex(std::string_view hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int hi = HexValue(hex[i]), lo = HexValue(hex[i + 1]);
        if (hi < 0 || lo < 0) return {};
        out += static_cast<char>(hi * 16 + lo);
    }
    return out;
}

std::vector<std::string> Split(std::string_view text, char at) {
    std::vector<std::string> out(1);
    for (char c : text) {
        if (c == at) {
            out.emplace_back();
        } else {
            out.back() += c;
        }
    }
    return out;
}

std::string JoinHex(const std::vector<std::string>& items) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + Hex(items[i]);
    return out;
}

std::vector<std::string> SplitHex(const std::string& text) {
    std::vector<std::string> out;
    if (text.empty()) return out;
    for (const auto& part : Split(text, ',')) out.push_back(Unhex(part));
    return out;
}

int StateCode(BatchState s) { return static_cast<int>(s); }

bool StateFromCode(const std::string& text, BatchState& out) {
    auto n = ToNumber(text);
    if (!n || *n < 0 || *n > static_cast<int>(BatchState::kFailed)) return false;
    out = static_cast<BatchState>(*n);
    return true;
}

}  // namespace

std::string JournalKey(const BatchRow& row) {
    return row.item.valid() ? row.item.isbn : "line " + std::to_string(row.item.line);
}

bool BatchJournal::Open(const std::string& path, const std::vector<std::string>& chainNames,
                        std::string* error) {
    if (unsynced_ && fd_.ok()) Sync();  // the lines of a journal opened before
    busy_ = false;
    damage_.clear();
    const std::string lockPath = path + ".lock";
    lock_.reset(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!lock_.ok()) {
        if (error) *error = lockPath + ": " + std::strerror(errno);
        return false;
    }
    if (::flock(lock_.get(), LOCK_EX | LOCK_NB) != 0) {
        busy_ = errno == EWOULDBLOCK;
        if (error)
            *error = busy_ ? G("这个清单正由另一个批处理在处理，请等它结束后再试。")
                           : lockPath + ": " + std::strerror(errno);
        lock_.reset();
        return false;
    }
    const std::string header = std::string(kMagic) + "\t" + JoinHex(chainNames);
    std::string text = ReadWholeFile(path, Links::refuse).value_or(std::string());
    // Every line whose checksum holds, wherever a damaged one lies.
    std::vector<std::vector<std::string>> lines;
    std::vector<size_t> damagedAt;  // index into `lines` each damaged line came before
    std::string kept;
    size_t damagedLines = 0, damagedBytes = 0, firstDamaged = 0, lineNumber = 0;
    bool headerDamaged = false;
    for (size_t pos = 0; pos < text.size();) {
        const size_t end = text.find('\n', pos);
        ++lineNumber;
        if (end == std::string::npos) break;  // a torn last line: the write that stopped
        const std::string_view line(text.data() + pos, end - pos);
        pos = end + 1;
        const size_t tab = line.rfind('\t');
        if (tab == std::string_view::npos ||
            Checksum(line.substr(0, tab)) != line.substr(tab + 1)) {
            if (damagedLines++ == 0) firstDamaged = lineNumber;
            damagedBytes += line.size() + 1;
            damagedAt.push_back(lines.size());
            if (lineNumber == 1) headerDamaged = true;
            continue;
        }
        lines.push_back(Split(line.substr(0, tab), '\t'));
        kept.append(line.data(), line.size()).append("\n");
    }
    if (headerDamaged && !lines.empty() &&
        !(lines.front().size() == 2 && lines.front()[0] == kMagic)) {
        // The lines of the run stand without their first: taken as this chain's.
        lines.insert(lines.begin(), Split(header, '\t'));
        kept = header + "\t" + Checksum(header) + "\n" + kept;
        for (auto& at : damagedAt) ++at;
    }
    bool fresh = lines.empty() || lines.front().size() != 2 || lines.front()[0] != kMagic ||
                 lines.front()[1] != JoinHex(chainNames);
    for (const auto& l : lines)
        if (!l.empty() && l[0] == "E") fresh = true;
    if (!fresh && damagedLines > 0) {
        damage_ = G("日志文件[") + path + G("]有") + std::to_string(damagedLines) +
                  G("行已损坏（共") + std::to_string(damagedBytes) + G("字节，第一处在第") +
                  std::to_string(firstDamaged) + G("行），已略去；其余") +
                  std::to_string(lines.size()) + G("行照常读入。");
    }
    if (fresh && !text.empty() && !ReplaceFileAtomically(path + ".old", text)) {
        if (error) *error = path + ".old: cannot be written";
        return false;
    }
    const std::string wanted = fresh ? header + "\t" + Checksum(header) + "\n" : kept;
    if (wanted != text && !ReplaceFileAtomically(path, wanted)) {
        if (error) *error = path + ": cannot be written";
        return false;
    }
    fd_.reset(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st {};
    if (!fd_.ok() || ::fstat(fd_.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        if (error) *error = path + ": " + std::strerror(errno ? errno : EINVAL);
        fd_.reset();
        return false;
    }
    entries_.clear();
    unfinishedSaves_.clear();
    if (fresh) return true;
    entries_.assign(lines.begin() + 1, lines.end());
    std::map<std::string, UnfinishedSave> saving;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const auto& e = entries_[i];
        if (e.size() >= 3 && e[0] == "P") {
            UnfinishedSave u;
            u.key = e[1];
            u.dailyNumber = ToNumberOr(e[2], 0);
            if (e.size() >= 4) u.dailyFile = Unhex(e[3]);
            // Line i of entries_ is line i + 1 of `lines`: a damaged line after it?
            for (size_t at : damagedAt)
                if (at > i + 1) u.damagedAfter = true;
            saving[e[1]] = u;
        }
        if (e.size() >= 2 && e[0] == "S") saving.erase(e[1]);
    }
    for (auto& [key, u] : saving) unfinishedSaves_.push_back(u);
    return true;
}

int BatchJournal::Restore(std::vector<BatchRow>& rows) const {
    std::map<std::string, size_t> byKey;
    for (size_t i = 0; i < rows.size(); ++i) byKey.emplace(JournalKey(rows[i]), i);
    std::vector<bool> touched(rows.size(), false);
    for (const auto& e : entries_) {
        if (e.size() < 2) continue;
        auto hit = byKey.find(e[1]);
        if (hit == byKey.end()) continue;
        BatchRow& row = rows[hit->second];
        if (e[0] == "D" && e.size() == 6) {
            BatchState state;
            if (!StateFromCode(e[2], state)) continue;
            row.state = state;
            row.target = Unhex(e[3]);
            row.failedTargets = SplitHex(e[4]);
            row.records = SplitHex(e[5]);
        } else if (e[0] == "C" && e.size() == 3) {
            row.chosen = ToNumberOr(e[2], -1);
        } else if (e[0] == "S" && e.size() == 4) {
            row.saved = e[2] == "already" ? SaveMark::kAlreadySaved : SaveMark::kSaved;
            row.dailyNumber = ToNumberOr(e[3], 0);
        } else {
            continue;
        }
        touched[hit->second] = true;
    }
    int count = 0;
    for (bool t : touched) count += t ? 1 : 0;
    return count;
}

BatchJournal::BatchJournal(Clock* clock) : clock_(clock) {
    if (!clock_) {
        static SteadyClock steady;
        clock_ = &steady;
    }
}

BatchJournal::~BatchJournal() {
    if (unsynced_ && fd_.ok()) Sync();
}

bool BatchJournal::Sync() {
    unsynced_ = false;
    lastSyncMs_ = clock_->NowMs();
    ++syncs_;
    return ::fdatasync(fd_.get()) == 0;
}

bool BatchJournal::Append(const std::string& body, bool durable) {
    if (!fd_.ok()) return false;
    if (!WriteAll(fd_.get(), body + "\t" + Checksum(body) + "\n")) return false;
    unsynced_ = true;
    if (durable || clock_->NowMs() - lastSyncMs_ >= kSyncEveryMs) return Sync();
    return true;
}

bool BatchJournal::Searched(const BatchRow& row) {
    return Append("D\t" + JournalKey(row) + "\t" + std::to_string(StateCode(row.state)) + "\t" +
                      Hex(row.target) + "\t" + JoinHex(row.failedTargets) + "\t" +
                      JoinHex(row.records),
                  false);
}

bool BatchJournal::Chosen(const BatchRow& row) {
    return Append("C\t" + JournalKey(row) + "\t" + std::to_string(row.chosen), false);
}

bool BatchJournal::Saving(const BatchRow& row, int dailyNumber, const std::string& dailyFile) {
    return Append(
        "P\t" + JournalKey(row) + "\t" + std::to_string(dailyNumber) + "\t" + Hex(dailyFile), true);
}

bool BatchJournal::Saved(const BatchRow& row) {
    return Append("S\t" + JournalKey(row) + "\t" +
                      (row.saved == SaveMark::kAlreadySaved ? "already" : "saved") + "\t" +
                      std::to_string(row.dailyNumber),
                  true);
}

bool BatchJournal::Ended() { return Append("E", true); }

}  // namespace z39
