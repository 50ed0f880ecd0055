// catalogue-server: the shared cataloguing database server, its importer and its demo data.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "catalogue_db.h"
#include "common/file_util.h"
#include "common/gbk_text.h"
#include "common/version.h"
#include "demo_catalogue.h"
#include "pg_catalogue.h"
#include "record_import.h"
#include "records/marc_record.h"
#include "server.h"

namespace {

constexpr const char* kHelp =
    "usage:\n"
    "  catalogue-server serve --db FILE --port P [--bind 127.0.0.1] [--hosts-address A]\n"
    "                         [--read-timeout-ms 10000] [--send-timeout-ms 10000]\n"
    "                         [--max-per-peer 64]\n"
    "  catalogue-server init --db FILE\n"
    "  catalogue-server import --db FILE RECORDS.iso ...\n"
    "  catalogue-server demo --db FILE --records N [--force]\n"
    "  catalogue-server dump RECORDS.iso ...\n"
    "  catalogue-server --help | --version\n"
    "FILE is an SQLite file or a postgresql:// URI. The TCP protocol listens on P, HTTP on\n"
    "P + 1. init makes an empty catalogue unless one is there. An option not given is\n"
    "taken from the environment: CATALOGUE_DB, CATALOGUE_PORT, CATALOGUE_BIND,\n"
    "CATALOGUE_HOSTS_ADDRESS, CATALOGUE_READ_TIMEOUT_MS, CATALOGUE_SEND_TIMEOUT_MS,\n"
    "CATALOGUE_MAX_PER_PEER (as /etc/default/catalogue-server sets them for the\n"
    "service). See catalogue-server(8).\n";

int Usage() {
    std::cerr << kHelp;
    return 64;
}

struct Args {
    std::string db, bind = "127.0.0.1", hostsAddress;
    long long records = -1;
    int port = -1;
    int readTimeoutMs = 10000, sendTimeoutMs = 10000;
    int maxPerPeer = 64;
    std::vector<std::string> files;
    bool force = false;
    bool ok = true;
};

// A count as the command line or the environment writes it: decimal digits alone, else -1
// ("21o" is no port 21).
int StrictNumber(const std::string& text) {
    const std::string t = z39::Trim(text);
    if (t.empty() || t.size() > 9) return -1;
    for (char c : t)
        if (c < '0' || c > '9') return -1;
    return std::stoi(t);
}

// The environment's value of `name`; empty when it is not set.
std::string FromEnvironment(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

// The settings the environment gives (the service's /etc/default file): the defaults that
// the command line may override. A number that does not read as one is an error.
Args FromEnvironment() {
    Args a;
    if (auto db = FromEnvironment("CATALOGUE_DB"); !db.empty()) a.db = db;
    if (auto bind = FromEnvironment("CATALOGUE_BIND"); !bind.empty()) a.bind = bind;
    a.hostsAddress = FromEnvironment("CATALOGUE_HOSTS_ADDRESS");
    struct Number {
        const char* name;
        int* value;
    };
    for (const Number& n :
         {Number{"CATALOGUE_PORT", &a.port}, Number{"CATALOGUE_READ_TIMEOUT_MS", &a.readTimeoutMs},
          Number{"CATALOGUE_SEND_TIMEOUT_MS", &a.sendTimeoutMs},
          Number{"CATALOGUE_MAX_PER_PEER", &a.maxPerPeer}}) {
        const std::string text = z39::Trim(FromEnvironment(n.name));
        if (text.empty()) continue;
        const int value = StrictNumber(text);
        if (value <= 0) {
            std::cerr << "catalogue-server: " << n.name << " is not a positive number: " << text
                      << "\n";
            a.ok = false;
        }
        *n.value = value;
    }
    return a;
}

Args ParseArgs(int argc, char** argv) {
    Args a = FromEnvironment();
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                a.ok = false;
                return {};
            }
            return argv[++i];
        };
        if (arg == "--db")
            a.db = value();
        else if (arg == "--bind")
            a.bind = value();
        else if (arg == "--hosts-address")
            a.hostsAddress = value();
        else if (arg == "--records")
            a.records = z39::ToNumberOr(value(), -1);
        else if (arg == "--port")
            a.port = StrictNumber(value());
        else if (arg == "--read-timeout-ms")
            a.readTimeoutMs = StrictNumber(value());
        else if (arg == "--send-timeout-ms")
            a.sendTimeoutMs = StrictNumber(value());
        else if (arg == "--max-per-peer")
            a.maxPerPeer = StrictNumber(value());
        else if (arg == "--force")
            a.force = true;
        else if (arg.starts_with("--"))
            a.ok = false;
        else
            a.files.push_back(arg);
    }
    return a;
}

int Import(const Args& a) {
    if (a.files.empty()) return Usage();
    auto store = ks::OpenCatalogue(a.db, true);
    ks::CatalogueStore& db = *store;
    // Every named file must be a regular file holding records: a missing one, a folder or
    // a FIFO (which would block the read) ends the import before anything is loaded.
    for (const auto& file : a.files) {
        std::error_code ec;
        auto status = std::filesystem::status(file, ec);
        if (ec || !std::filesystem::is_regular_file(status)) {
            std::cerr << file
                      << (ec || !std::filesystem::exists(status) ? ": no such file"
                                                                 : ": not a regular file")
                      << "\n";
            return 1;
        }
    }
    constexpr long long kReportedSkips = 20;  // then one summary line per file
    long long loaded = 0, skipped = 0;
    bool emptyFile = false;
    db.Begin();
    for (const auto& file : a.files) {
        auto bytes = z39::ReadWholeFile(file);
        if (!bytes) {
            std::cerr << file << ": cannot be read\n";
            return 1;
        }
        const std::string_view text = *bytes;
        long long number = 0, fileLoaded = 0, fileSkipped = 0;
        size_t pos = 0;
        while (pos < text.size()) {
            while (pos < text.size() && (text[pos] == '\r' || text[pos] == '\n')) ++pos;
            if (pos >= text.size()) break;
            const size_t end = text.find('\x1D', pos);
            const size_t next = end == std::string_view::npos ? text.size() : end + 1;
            const size_t offset = pos;
            std::string record(text.substr(pos, next - pos));
            pos = next;
            ++number;
            ks::RecordKeys keys = ks::ExtractKeys(record);
            if (!keys.ok) {
                if (++fileSkipped <= kReportedSkips)
                    std::cerr << file << ": record " << number << " at byte " << offset
                              << " skipped: " << keys.error << "\n";
                continue;
            }
            db.Insert(record, keys.isbn, keys.name, keys.namepy);
            ++fileLoaded;
        }
        if (fileSkipped > kReportedSkips)
            std::cerr << file << ": " << fileSkipped << " records skipped in all\n";
        if (fileLoaded == 0) {
            std::cerr << file << ": holds no record that could be loaded\n";
            emptyFile = true;
        }
        loaded += fileLoaded;
        skipped += fileSkipped;
    }
    db.Commit();
    // Fresh planner statistics, so the first searches use the indexes.
    if (auto* pg = dynamic_cast<ks::PgCatalogue*>(&db)) pg->Analyse();
    std::cout << "loaded " << loaded << " records, skipped " << skipped << std::endl;
    return emptyFile ? 1 : 0;
}

// Each record of the files as its display line and its detail lines, in UTF-8.
int Dump(const Args& a) {
    if (a.files.empty()) return Usage();
    for (const auto& file : a.files) {
        auto bytes = z39::ReadWholeFile(file);
        if (!bytes) {
            std::cerr << file << ": cannot be read\n";
            return 1;
        }
        for (const auto& raw : ks::SplitIsoRecords(*bytes)) {
            const std::string& record = raw.bytes;
            std::cout << z39::GbkToUtf8(z39::DisplayLine(record)) << "\n";
            for (const auto& line : z39::DetailLines(record, {}))
                std::cout << "  " << z39::GbkToUtf8(line) << "\n";
        }
    }
    return 0;
}

// An empty catalogue where none is: the tables and indexes, no record. One that is there
// is left as it is.
int Init(const Args& a) {
    if (!a.files.empty()) return Usage();
    auto store = ks::OpenCatalogue(a.db, true);
    std::cout << "catalogue " << ks::ShownDb(a.db) << ": " << store->Count() << " records"
              << std::endl;
    return 0;
}

int Demo(const Args& a) {
    if (a.records < 0) return Usage();
    std::error_code ec;
    const bool postgres = ks::IsPostgresUri(a.db);
    const bool exists =
        postgres ? ks::OpenCatalogue(a.db, true)->Count() > 0 : std::filesystem::exists(a.db, ec);
    if (exists && !a.force) {
        std::cerr << "catalogue-server: " << ks::ShownDb(a.db)
                  << " exists; a demo catalogue replaces it: give --force to do so" << std::endl;
        return 73;
    }
    if (!postgres)
        for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(a.db + suffix, ec);
    auto store = ks::OpenCatalogue(a.db, true);
    ks::CatalogueStore& db = *store;
    if (postgres) db.RemoveAll();
    db.Begin();
    for (long long n = 0; n < a.records; ++n) {
        std::string record = ks::DemoRecord(n, a.records);
        ks::RecordKeys keys = ks::ExtractKeys(record);
        db.Insert(record, keys.isbn, keys.name, keys.namepy);
    }
    db.Commit();
    // Fresh planner statistics, so the first searches use the indexes.
    if (auto* pg = dynamic_cast<ks::PgCatalogue*>(&db)) pg->Analyse();
    std::cout << "demo catalogue " << ks::ShownDb(a.db) << ": " << a.records << " records"
              << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // A reader of standard error that goes away (a log pipe, a supervisor restarting) must
    // not end the server, and neither must a hang-up of its terminal; writes to a closed
    // pipe or socket fail with EPIPE instead.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGHUP, SIG_IGN);
    if (argc < 2) return Usage();
    std::string command = argv[1];
    if (command == "--help") {
        std::cout << kHelp;
        return 0;
    }
    if (command == "--version") {
        std::cout << "catalogue-server " << z39::kVersion << "\n";
        return 0;
    }
    Args a = ParseArgs(argc, argv);
    if (!a.ok) return Usage();
    try {
        if (command == "dump") return Dump(a);
        if (a.db.empty()) return Usage();
        if (command == "init") return Init(a);
        if (command == "import") return Import(a);
        if (command == "demo") return Demo(a);
        if (command == "serve") {
            if (a.port <= 0 || a.port >= 65535 || a.readTimeoutMs <= 0 || a.sendTimeoutMs <= 0 ||
                a.maxPerPeer <= 0)
                return Usage();
            ks::ServerOptions options;
            options.dbPath = a.db;
            options.bind = a.bind;
            options.port = a.port;
            options.hostsAddress = a.hostsAddress;
            options.readTimeoutMs = a.readTimeoutMs;
            options.sendTimeoutMs = a.sendTimeoutMs;
            options.maxPerPeer = a.maxPerPeer;
            return ks::RunServer(options);
        }
    } catch (const std::exception& e) {
        std::cerr << "catalogue-server: " << e.what() << std::endl;
        return 1;
    }
    return Usage();
}
