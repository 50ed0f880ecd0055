#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace z39 {

// The form of the daily record file the cataloguing system imports:
// - GBK: ISO 2709 in GBK, a record and CR LF a line (marcYYYYMMDD.txt), as ever;
// - UTF-8: ISO 2709 in UTF-8, a record and CR LF a line (marcYYYYMMDD.txt);
// - MARCXML: one MARCXML collection (marcYYYYMMDD.xml), well-formed after every save.
enum class DailyFormat { kGbk, kUtf8, kMarcXml };

// The setting's value ("GBK", "UTF-8", "MARCXML"; letter case, "-" and blanks ignored;
// empty reads as GBK), or nothing for a value that names none of them.
std::optional<DailyFormat> DailyFormatFromName(std::string_view name);
// The setting's value for a format.
const char* DailyFormatName(DailyFormat format);
// ".txt" or ".xml".
const char* DailyFileSuffix(DailyFormat format);

// A GBK record (as the save check passed it) in the form a daily file of `format` holds:
// - GBK: as it is;
// - UTF-8: converted by YAZ; leader/09 "a"; in a CNMARC record, 100 $a positions 26-29
//   "50  " (the UNIMARC code for Unicode); each "&#xXXXX;" (a character GBK lacks) the
//   character it stands for;
// - MARCXML: one <record> element in the MARC21 slim namespace (no line break after it),
//   converted by YAZ, the references resolved likewise.
// Nothing, with the reason (GBK) in `why`, when YAZ cannot read or write it.
std::optional<std::string> RecordForDailyFile(std::string_view gbk, DailyFormat format,
                                              std::string* why = nullptr);

// A record as a daily file of `format` holds it, back in GBK (what the save check would
// pass): GBK as it is; UTF-8 and MARCXML converted, a character GBK lacks as "&#xXXXX;".
// Nothing when it cannot be read.
std::optional<std::string> DailyRecordToGbk(std::string_view record, DailyFormat format);

// The records of a daily file's text in `format`, each as the file holds it: GBK and UTF-8
// lines up to the record terminator and CR LF, MARCXML <record> elements. `used` (when
// given) is set to how many bytes of `text` the whole records took, up to the end of the
// last one.
std::vector<std::string> SplitDailyFile(std::string_view text, DailyFormat format,
                                        size_t* used = nullptr);

// A GBK record as MARC text (UTF-8), as yaz-marcdump writes it: the leader, then one field
// a line, the tag, the indicators and "$a"-style subfields; a reference the GBK record
// kept is the character it stands for. Nothing when YAZ cannot read the record.
std::optional<std::string> RecordAsMarcText(std::string_view gbk);

// The start and the end of a MARCXML daily file; records go between them.
extern const char* const kMarcXmlFileHead;
extern const char* const kMarcXmlFileTail;

}  // namespace z39
