#include "demo_catalogue.h"

#include <cstdio>
#include <random>

#include "common/gbk_text.h"
#include "records/marc_record.h"

namespace ks {
namespace {

using z39::G;

struct Publisher {
    const char* name;
    const char* place;
    const char* prefix;  // ISBN publisher prefix after 978-7-
};

const Publisher kPublishers[] = {
    {"人民文学出版社", "北京", "02"},
    {"清华大学出版社", "北京", "302"},
    {"机械工业出版社", "北京", "111"},
    {"科学出版社", "北京", "03"},
    {"商务印书馆", "北京", "100"},
    {"中华书局", "北京", "101"},
    {"高等教育出版社", "北京", "04"},
    {"人民邮电出版社", "北京", "115"},
    {"北京大学出版社", "北京", "301"},
    {"上海译文出版社", "上海", "5327"},
    {"生活·读书·新知三联书店", "北京", "108"},
    {"电子工业出版社", "北京", "121"},
    {"中国人民大学出版社", "北京", "300"},
    {"外语教学与研究出版社", "北京", "5600"},
    {"浙江大学出版社", "杭州", "308"},
    {"复旦大学出版社", "上海", "309"},
    {"上海古籍出版社", "上海", "5325"},
    {"译林出版社", "南京", "5447"},
    {"湖南教育出版社", "长沙", "5355"},
    {"四川人民出版社", "成都", "220"},
};

const char* kTopics[][3] = {
    // title stem, subject heading (606 $a), CLC class (690 $a)
    {"数据结构", "数据结构", "TP311.12"},
    {"计算机网络", "计算机网络", "TP393"},
    {"操作系统", "操作系统", "TP316"},
    {"软件工程", "软件工程", "TP311.5"},
    {"数据库系统", "数据库系统", "TP311.13"},
    {"编译原理", "编译程序", "TP314"},
    {"宏观经济学", "宏观经济学", "F015"},
    {"微观经济学", "微观经济学", "F016"},
    {"会计学", "会计学", "F230"},
    {"市场营销学", "市场营销学", "F713.50"},
    {"中国古代文学", "古典文学研究", "I206.2"},
    {"中国现代文学", "现代文学研究", "I206.6"},
    {"唐诗", "唐诗", "I207.22"},
    {"宋词", "宋词", "I207.23"},
    {"中国通史", "中国历史", "K20"},
    {"世界近代史", "世界史", "K143"},
    {"教育心理学", "教育心理学", "G44"},
    {"课程与教学论", "课程", "G423"},
    {"图书馆学", "图书馆学", "G250"},
    {"信息检索", "情报检索", "G252.7"},
    {"高等数学", "高等数学", "O13"},
    {"线性代数", "线性代数", "O151.2"},
    {"概率论与数理统计", "概率论", "O21"},
    {"大学物理", "物理学", "O4"},
    {"有机化学", "有机化学", "O62"},
    {"细胞生物学", "细胞生物学", "Q2"},
    {"中医基础理论", "中医医学基础", "R22"},
    {"内科学", "内科学", "R5"},
    {"建筑设计原理", "建筑设计", "TU2"},
    {"城市规划", "城市规划", "TU984"},
    {"环境保护", "环境保护", "X"},
    {"法学概论", "法学", "D90"},
    {"宪法学", "宪法", "D911"},
    {"社会学概论", "社会学", "C91"},
    {"管理学原理", "管理学", "C93"},
    {"哲学导论", "哲学", "B"},
    {"美学", "美学", "B83"},
    {"英语写作", "英语", "H315"},
    {"现代汉语", "汉语", "H1"},
    {"书法艺术", "汉字", "J292"},
};

const char* kTitlePrefixes[] = {"", "", "", "现代", "实用", "新编", "简明", "高级", "中国", "应用"};
const char* kTitleSuffixes[] = {"",     "教程",       "导论",     "概论",     "基础",
                                "研究", "原理与方法", "案例分析", "学习指导", "史"};
const char* kEditions[] = {"", "", "", "第2版", "第3版", "修订版", "上册", "下册"};
const char* kSurnames[] = {"王", "李", "张", "刘", "陈", "杨", "赵", "黄", "周", "吴", "徐", "孙",
                           "胡", "朱", "高", "林", "何", "郭", "马", "罗", "梁", "宋", "郑", "谢",
                           "韩", "唐", "冯", "于", "董", "萧", "程", "曹", "袁", "邓", "许", "傅"};
const char* kGiven[] = {"伟", "芳",   "娜",   "敏",   "静",   "丽",   "强",   "磊",
                        "军", "洋",   "勇",   "艳",   "杰",   "娟",   "涛",   "明",
                        "超", "秀英", "霞",   "平",   "刚",   "桂英", "建华", "文",
                        "华", "志强", "晓东", "海燕", "国庆", "立新", "春生", "德明"};
const char* kRoles[] = {"著", "编著", "主编", "编", "著"};
const char* kDunhuang[] = {"研究", "论集", "概论", "文献汇编", "导论"};

const KnownBook kKnown[] = {
    {"9787536692930", "三体"},     {"9787506365437", "活着"},   {"9787302147510", "数据结构"},
    {"9787544253994", "百年孤独"}, {"9787020002207", "红楼梦"},
};

struct Book {
    std::string isbn, title, addition, responsibility, place, publisher, year, pages, subject,
        subjectX, clc, author, role;
};

Book KnownBookRecord(int64_t n) {
    switch (n) {
        case 0:
            return {"978-7-5366-9293-0", "三体",   "",      "刘慈欣著",     "重庆",
                    "重庆出版社",        "2008",   "302页", "科学幻想小说", "中国",
                    "I247.55",           "刘慈欣", "著"};
        case 1:
            return {"978-7-5063-6543-7", "活着", "",      "余华著",   "北京",
                    "作家出版社",        "2012", "191页", "长篇小说", "中国",
                    "I247.57",           "余华", "著"};
        case 2:
            return {"978-7-302-14751-0", "数据结构", "C语言版", "严蔚敏, 吴伟民编著", "北京",
                    "清华大学出版社",    "2007",     "334页",   "数据结构",           "高等学校",
                    "TP311.12",          "严蔚敏",   "编著"};
        case 3:
            return {"978-7-5442-5399-4",
                    "百年孤独",
                    "",
                    "(哥伦比亚) 加西亚·马尔克斯著 ; 范晔译",
                    "海口",
                    "南海出版公司",
                    "2011",
                    "360页",
                    "长篇小说",
                    "哥伦比亚",
                    "I775.45",
                    "加西亚·马尔克斯",
                    "著"};
        default:
            return {"978-7-02-000220-7",
                    "红楼梦",
                    "",
                    "(清) 曹雪芹, 高鹗著",
                    "北京",
                    "人民文学出版社",
                    "1996",
                    "1606页",
                    "章回小说",
                    "中国",
                    "I242.47",
                    "曹雪芹",
                    "著"};
    }
}

template <typename T, size_t N>
const T& Pick(std::mt19937& rng, const T (&items)[N]) {
    return items[rng() % N];
}

std::string Hyphenated13(const std::string& prefix, const std::string& titleNo) {
    std::string twelve = "9787" + prefix + titleNo;
    std::string full = z39::NormaliseIsbn(twelve);  // appends the check digit
    return "978-7-" + prefix + "-" + titleNo + "-" + full.substr(12);
}

Book GeneratedBook(int64_t n, bool dunhuang) {
    std::mt19937 rng(static_cast<uint32_t>(n * 2654435761u + 17));
    Book b;
    const Publisher& pub = Pick(rng, kPublishers);
    const auto& topic = kTopics[rng() % (sizeof kTopics / sizeof kTopics[0])];
    size_t titleDigits = 8 - std::char_traits<char>::length(pub.prefix);
    uint64_t range = 1;
    for (size_t i = 0; i < titleDigits; ++i) range *= 10;
    char titleNo[16];
    std::snprintf(
        titleNo, sizeof titleNo, "%0*llu", static_cast<int>(titleDigits),
        static_cast<unsigned long long>((static_cast<uint64_t>(n) * 7919 + rng() % 97) % range));
    b.isbn = Hyphenated13(pub.prefix, titleNo);
    if (dunhuang) {
        b.title = std::string(kPagingTitleWord) + Pick(rng, kDunhuang);
        b.addition = "第" + std::to_string(n % 25 + 1) + "辑";
        b.subject = "敦煌学";
        b.subjectX = "文集";
        b.clc = "K870.6";
    } else {
        b.title = std::string(Pick(rng, kTitlePrefixes)) + topic[0] + Pick(rng, kTitleSuffixes);
        b.addition = Pick(rng, kEditions);
        b.subject = topic[1];
        b.subjectX = Pick(rng, kTitleSuffixes)[0] ? "教材" : "研究";
        b.clc = topic[2];
    }
    b.author = std::string(Pick(rng, kSurnames)) + Pick(rng, kGiven);
    b.role = Pick(rng, kRoles);
    b.responsibility = b.author + b.role;
    if (rng() % 4 == 0) {
        std::string second = std::string(Pick(rng, kSurnames)) + Pick(rng, kGiven);
        b.responsibility = b.author + ", " + second + b.role;
    }
    b.place = pub.place;
    b.publisher = pub.name;
    b.year = std::to_string(1985 + rng() % 40);
    b.pages = std::to_string(120 + rng() % 700) + "页";
    return b;
}

std::string Sub(char code, const std::string& utf8) { return std::string("\x1F") + code + G(utf8); }

}  // namespace

const std::vector<KnownBook>& KnownBooks() {
    static const std::vector<KnownBook> books(std::begin(kKnown), std::end(kKnown));
    return books;
}

std::string BuildIsoRecord(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string directory, body;
    for (const auto& [tag, data] : fields) {
        char entry[16];
        std::snprintf(entry, sizeof entry, "%3.3s%04zu%05zu", tag.c_str(), data.size() + 1,
                      body.size());
        directory += entry;
        body += data + "\x1E";
    }
    directory += "\x1E";
    size_t base = 24 + directory.size();
    char leader[32];
    std::snprintf(leader, sizeof leader, "%05zunam0 22%05zu   450 ", base + body.size() + 1, base);
    return std::string(leader) + directory + body + "\x1D";
}

std::string DemoRecord(int64_t n, int64_t total) {
    const int64_t known = static_cast<int64_t>(KnownBooks().size());
    bool dunhuang = false;
    if (n >= known) {
        int64_t step = std::max<int64_t>(1, (total - known) / 25);
        int64_t k = n - known;
        dunhuang = k % step == 0 && k / step < 25;
    }
    Book b = n < known ? KnownBookRecord(n) : GeneratedBook(n, dunhuang);
    char id[32];
    std::snprintf(id, sizeof id, "DEMO%08lld", static_cast<long long>(n + 1));
    std::string price = "CNY" + std::to_string(18 + (n * 37) % 90) + ".00";
    std::string title200 = Sub('a', b.title);
    if (!b.addition.empty()) title200 += Sub('e', b.addition);
    title200 += Sub('f', b.responsibility);
    return BuildIsoRecord({
        {"001", id},
        {"005", "20240101093000.0"},
        {"010", "  " + Sub('a', b.isbn) + Sub('d', price)},
        {"100", "  " + Sub('a', "20240101d" + b.year + "    em y0chiy50      ea")},
        {"101", "0 " + Sub('a', "chi")},
        {"200", "1 " + title200},
        {"210", "  " + Sub('a', b.place) + Sub('c', b.publisher) + Sub('d', b.year)},
        {"215", "  " + Sub('a', b.pages) + Sub('d', "26cm")},
        {"606", "0 " + Sub('a', b.subject) + Sub('x', b.subjectX)},
        {"690", "  " + Sub('a', b.clc) + Sub('v', "5")},
        {"701", " 0" + Sub('a', b.author) + Sub('4', b.role)},
        {"801", " 0" + Sub('a', "CN") + Sub('b', "DEMO") + Sub('c', "20240101")},
    });
}

}  // namespace ks
