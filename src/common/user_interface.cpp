#include "common/user_interface.h"

#include "common/gbk_text.h"

namespace z39 {

const std::string& NoticeTitle() {
    static const std::string title = G("提示信息");
    return title;
}

}  // namespace z39
