#include "search/search_outcome.h"

#include "common/gbk_text.h"

namespace z39 {

std::string ConnectionFailedStatus() {
    return G("与服务器连接不成功，请重试或选择其他目标数据库再试！");
}
std::string NoDataStatus() { return G("连接成功，没有查询到数据，您可选择其他目标数据库再试！"); }
std::string FoundStatus(int64_t total) {
    return G("连接服务器成功，共查询到[") + std::to_string(total) + G("]条数据！");
}
std::string ReceivedStatus() { return G("连接服务器成功，已接收完数据！"); }
std::string HitLabel(int64_t total) { return G("共有 ") + std::to_string(total) + G(" 条"); }
std::string EmptyQueryMessage() { return G("请输入查询条件"); }

}  // namespace z39
