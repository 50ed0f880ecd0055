// The system's own texts, pinned as the cataloguer reads them: a changed character in any
// of them fails here, not only where the function that makes it is compared with itself.
#include <gtest/gtest.h>

#include "app/startup.h"
#include "backends/external_z39.h"
#include "backends/process_runner.h"
#include "common/gbk_text.h"
#include "common/user_interface.h"
#include "records/marc_record.h"
#include "search/search_outcome.h"

namespace z39 {
namespace {

TEST(SystemTexts, StatusMessagesLabelsAndNotices) {
    const std::vector<std::pair<std::string, const char*>> texts = {
        {ReadyStatus(), "就绪"},
        {ProductName(), "岱恒Z39.50客户端"},
        {NoticeTitle(), "提示信息"},
        {ConnectionFailedStatus(), "与服务器连接不成功，请重试或选择其他目标数据库再试！"},
        {NoDataStatus(), "连接成功，没有查询到数据，您可选择其他目标数据库再试！"},
        {FoundStatus(25), "连接服务器成功，共查询到[25]条数据！"},
        {FoundStatus(1000000000000), "连接服务器成功，共查询到[1000000000000]条数据！"},
        {ReceivedStatus(), "连接服务器成功，已接收完数据！"},
        {HitLabel(7), "共有 7 条"},
        {ReceivingStatus(3, 30), "正在接收记录 3/30"},
        {EmptyQueryMessage(), "请输入查询条件"},
        {BadRecordLine(), "此记录数据有误"},
        {StartFailureMessage(),
         "运行程序失败[CreateDOSProcessRedirected]！\r\n请重试或换其他数据库。"},
        {HandOffBlockedMessage("/tmp/lib.tmp"),
         "文件[/tmp/lib.tmp]无法删除或写入，不能把编目数据交给调用程序！"},
        {SkippedRecordsNotice({2, "Record 1: not MARC (syntax SUTRS)"}),
         "目标数据库返回的[2]条记录不是MARC格式或带有错误信息，没有列出，也不会保存。\r\n"
         "Record 1: not MARC (syntax SUTRS)"},
    };
    for (const auto& [made, expected] : texts) EXPECT_EQ(GbkToUtf8(made), expected);
}

}  // namespace
}  // namespace z39
