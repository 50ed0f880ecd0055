#include "backends/backend_kinds.h"

#include <map>
#include <mutex>

#include "backends/external_z39.h"
#include "backends/kind_probes.h"
#include "backends/nlc_opac.h"
#include "backends/shared_catalogue.h"
#include "backends/sru.h"
#include "backends/tcp_client.h"
#include "common/gbk_text.h"

namespace z39 {
namespace {

std::vector<std::string> AllFields() {
    std::vector<std::string> fields = {G("题名"), "ISBN"};
    for (const char* f : {"ISSN", "著者", "出版者", "出版日期"}) fields.push_back(G(f));
    return fields;
}

std::vector<BackendKind> BuiltInKinds() {
    std::vector<BackendKind> rows;
    {
        BackendKind k;
        k.kind = TargetKind::kSharedCatalogue;
        k.make = [](const BackendContext& c) {
            return std::make_unique<SharedCatalogueBackend>(
                c.http, [] { return std::make_unique<PosixTcpClient>(); }, c.clock);
        };
        k.capabilities.fields = {G("题名"), "ISBN"};
        k.capabilities.failureEndsLaunch = true;
        k.capabilities.furtherPageReceived = true;
        k.capabilities.learnsHost = true;
        k.probe = ProbeSharedCatalogue;
        rows.push_back(std::move(k));
    }
    {
        BackendKind k;
        k.kind = TargetKind::kZ39;
        k.make = [](const BackendContext& c) {
            return std::make_unique<ExternalZ39Backend>(
                c.runner, c.clock, Z39WorkFilesIn(c.workFolder),
                c.clientPath.empty() ? YazcPath() : c.clientPath, &c.memory);
        };
        k.capabilities.fields = AllFields();
        k.probe = ProbeZ39Target;
        rows.push_back(std::move(k));
    }
    {
        BackendKind k;
        k.kind = TargetKind::kWebOpac;
        k.make = [](const BackendContext& c) { return std::make_unique<NlcOpacBackend>(c.http); };
        k.capabilities.fields = AllFields();
        k.capabilities.isbnOnly = true;
        k.capabilities.launchTicksFirstRow = true;
        k.capabilities.failureForgetsHost = false;
        k.probe = ProbeWebOpac;
        rows.push_back(std::move(k));
    }
    {
        BackendKind k;
        k.kind = TargetKind::kSru;
        k.make = [](const BackendContext& c) { return std::make_unique<SruBackend>(c.http); };
        k.capabilities.fields = AllFields();
        k.probe = ProbeSruTarget;
        rows.push_back(std::move(k));
    }
    return rows;
}

struct Table {
    std::mutex mutex;
    std::map<TargetKind, BackendKind> rows;
    Table() {
        for (auto& row : BuiltInKinds()) rows[row.kind] = std::move(row);
    }
};

Table& TheTable() {
    static Table table;
    return table;
}

}  // namespace

void RegisterBackendKind(BackendKind row) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.rows[row.kind] = std::move(row);
}

const KindCapabilities& CapabilitiesOf(TargetKind kind) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto hit = t.rows.find(kind);
    if (hit == t.rows.end()) hit = t.rows.find(TargetKind::kZ39);
    return hit->second.capabilities;
}

KindProbe ProbeOfKind(TargetKind kind) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto hit = t.rows.find(kind);
    return hit == t.rows.end() ? KindProbe() : hit->second.probe;
}

void AddBackends(BackendRegistry& registry, const BackendContext& context) {
    std::vector<std::pair<TargetKind, decltype(BackendKind::make)>> makers;
    {
        Table& t = TheTable();
        std::lock_guard<std::mutex> lock(t.mutex);
        for (const auto& [kind, row] : t.rows) makers.emplace_back(kind, row.make);
    }
    for (const auto& [kind, make] : makers)
        if (make) registry.Own(kind, make(context));
}

std::unique_ptr<BackendRegistry> BuildBackends(const BackendContext& context) {
    auto registry = std::make_unique<BackendRegistry>();
    AddBackends(*registry, context);
    return registry;
}

}  // namespace z39
