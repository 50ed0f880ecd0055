#include "backends/search_backend.h"

#include <exception>

#include "common/gbk_text.h"

namespace z39 {

PageResult FetchCatching(SearchBackend& backend, const TargetProfile& target,
                         const SearchRequest& request, CancelToken& cancel) {
    try {
        return backend.Fetch(target, request, cancel);
    } catch (const std::exception& e) {
        PageResult out;
        out.status = PageStatus::kNoConnection;
        out.reason = e.what();
        return out;
    } catch (...) {
        PageResult out;
        out.status = PageStatus::kNoConnection;
        out.reason = G("检索时出现未知错误");
        return out;
    }
}

}  // namespace z39
