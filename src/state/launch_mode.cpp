#include "state/launch_mode.h"

namespace z39 {

LaunchDecision DetectLaunchMode(const std::vector<std::string>& args, HandOffStore& store) {
    LaunchDecision out;
    std::string query;
    if (store.GetHandOffValue(kHandOffSignName) == kHandOffSign) {
        out.mode.handOff = true;
        query = store.GetHandOffValue(kHandOffInputName);
        bool cleared = store.SetHandOffValue(kHandOffSignName, "");
        cleared = store.SetHandOffValue(kHandOffInputName, "") && cleared;
        if (!cleared) {
            out.signNotCleared = store.path();
            return out;
        }
    } else if (!args.empty()) {
        query = args[0];
    }
    if (query.starts_with("ISBN") || query.starts_with("NAME")) {
        out.accepted = true;
        out.mode.launchQuery = query;
        out.mode.keepFullWindow = args.size() >= 2 && args[1] == "1";
        out.compactWindow = !out.mode.keepFullWindow;
    }
    return out;
}

std::string LaunchQueryValue(const std::string& launchQuery) {
    return launchQuery.size() > 5 ? launchQuery.substr(5) : std::string();
}

bool LaunchQueryIsIsbn(const std::string& launchQuery) { return launchQuery.starts_with("ISBN@"); }

}  // namespace z39
